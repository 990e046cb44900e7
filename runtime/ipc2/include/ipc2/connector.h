// Connecting to a server, and serving one.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "ipc2/connectionhandler.h"
#include "ipc2/limits.h"

namespace zel::proglibs::ipc2 {

// Receives the requests that arrive on a connection.
class IReceiver {
public:
    virtual ~IReceiver();
    // `request` is positioned at its start (the 4-byte object id).
    virtual std::shared_ptr<ByteStream> Receive(std::shared_ptr<ByteStream> request,
                                                std::shared_ptr<ConnectionHandler> handler) = 0;
};

class Ipc {
public:
    // Told when connections of a registered server come and go.
    class IServerListener {
    public:
        virtual ~IServerListener();
        virtual void ClientConnected(std::shared_ptr<ConnectionHandler> handler) = 0;
        virtual void Disconnected(std::shared_ptr<ConnectionHandler> handler) = 0;
    };
};

enum class CallDirection { Outgoing, Incoming };

// The base of a library's connector. A client connects with ConnectImpl; a server registers with
// RegisterServerImpl and from then on each connection's request to object id 0 reaches the root
// stub that the factory made for that connection, and every other request the stub of its id.
//
// Transports: a name registered by this process is served in-process (a request runs the stub on
// the calling thread, so nested calls in both directions work to the configured depth). Otherwise
// the name is looked up as a Unix socket (see the socket transport) when the runtime has one.
//
// In-process connections: the server side's handler has the limits of the server's connector at
// connect time; a request runs on the calling thread, so whatever the receiving side throws (a
// decode error, an implementation's exception, an unknown object id) or a missing reply reaches the
// caller as RemoteError naming the object and method, while the sender's own checks (frame size,
// call depth, outstanding calls) throw LimitError. A connection closes when either side calls
// Close, when the client's last proxy is removed, or when the client's handler is destroyed; its
// stubs are then dropped and the server's connector is told Disconnected once. A connection holds
// the connectors weakly: one that is destroyed stops serving new connections, and requests on open
// ones are still dispatched (without its LogCall override).
//
// Thread safety: all operations may be called from any thread.
class Connector : public std::enable_shared_from_this<Connector>, public IReceiver, public Ipc::IServerListener {
public:
    // Writes one line of the call log when trace_enabled(3): the message's header (object, module,
    // method, size) and, only when sendFlag is true, its payload in hex. A false flag marks
    // messages that carry secrets; they are never logged with their payload.
    virtual void LogCall(const ConnectionHandler& handler, CallDirection direction, const ByteStream& message,
                         bool sendFlag);

    // Dispatches a request to the stub of its object id (the root stub for id 0 on a server).
    // Throws RemoteError for an id that names no stub.
    std::shared_ptr<ByteStream> Receive(std::shared_ptr<ByteStream> request,
                                        std::shared_ptr<ConnectionHandler> handler) override;
    void ClientConnected(std::shared_ptr<ConnectionHandler> handler) override;
    void Disconnected(std::shared_ptr<ConnectionHandler> handler) override;

    void SetLimits(const Limits& limits);
    Limits GetLimits() const;
    // Who may open the socket of a server registered from now on: its file mode (0600, the owner
    // alone, unless set) and, when not -1, its group, for services whose clients run as other users.
    void SetSocketAccess(mode_t mode, gid_t group);

protected:
    Connector();
    virtual ~Connector();

    // Connects to the server registered under `serverName`. `address` may name where it listens
    // (empty: the default for the name). Throws ConnectError when no server answers, when the
    // protocol checksums of both sides are set and differ, when the module lists disagree, or when
    // the server's root stub cannot be made. The server's connector gets ClientConnected before
    // this returns.
    std::shared_ptr<ConnectionHandler> ConnectImpl(std::string serverName, std::string address,
                                                   std::vector<std::string> modules);
    void SetProtocolChecksum(const std::string& checksum);
    // Serves `root` under `serverName`. `exclusive` refuses the registration (ConnectError) when
    // the name is already served (in this process or by a live server on the machine); without it
    // the registration replaces the name's current server. A connector serves one name:
    // registering another gives the previous one up. The checksum set before is the one the
    // server announces.
    void RegisterServerImpl(std::string serverName, bool exclusive, std::string rootTypeName, void* root,
                            StubFactory rootFactory, std::vector<std::string> modules);
    // Stops accepting connections (no error when not serving); open connections stay open. The
    // destructor does this too.
    void UnregisterServerImpl();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace zel::proglibs::ipc2
