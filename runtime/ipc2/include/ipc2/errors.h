// The runtime's exceptions: one type per kind of failure, all derived from IpcError, each with a
// message that names what was wrong (the operation, the ids, the byte counts).
#pragma once

#include <stdexcept>
#include <string>

namespace zel::proglibs::ipc2 {

class IpcError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A read past the end of a message, or a length or count that the message cannot hold.
class StreamError : public IpcError {
public:
    using IpcError::IpcError;
};

// No server under the name, or the server could not be reached or refused the handshake.
class ConnectError : public IpcError {
public:
    using IpcError::IpcError;
};

// The peer broke the runtime's protocol: a malformed frame, an unknown message kind, a bad handshake.
class ProtocolError : public IpcError {
public:
    using IpcError::IpcError;
};

// A configured limit was reached: frame size, nesting depth, outstanding calls, live stubs.
class LimitError : public IpcError {
public:
    using IpcError::IpcError;
};

// A call's deadline passed before its answer came (connection.h says where deadlines come from).
// The connection stays usable; an answer that comes later is dropped.
class DeadlineError : public IpcError {
public:
    using IpcError::IpcError;
};

// The peer received the request but could not process it (a decode error, an exception in the
// implementation, an unknown object id, no reply from the stub); the message says which.
class RemoteError : public IpcError {
public:
    using IpcError::IpcError;
};

}  // namespace zel::proglibs::ipc2
