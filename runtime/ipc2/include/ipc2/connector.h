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
// the calling thread, so nested calls in both directions work to the configured depth), and on a
// Unix socket for other processes. A connection means the same on both:
//   - Limits: each end is held to its own connector's limits (an in-process connection's two ends,
//     being in one process, to the stricter of both). Whatever the receiving side throws (a decode
//     error, an implementation's exception, an unknown object id) or a missing reply reaches the
//     caller as RemoteError naming the object and method; a limit of either side (frame size, call
//     depth, calls open on the connection) as LimitError; a lost connection as a null reply.
//   - Admission: a connection is admitted by the connector serving the name when it arrives: the
//     root stub is made, ClientConnected is called, and from then on the connection's requests go
//     to that connector's Receive, its call log to its LogCall, and its end to its Disconnected,
//     once, even if another connector serves the name by then. A client's requests (the server's
//     calls back) go to the connector that connected.
//   - Agreement: the connection's module list is the server's (the client's when the server names
//     none), and each module the client asks for must be in it; both sides number modules by it.
//     When both sides set a protocol checksum, they must be equal.
// A connection closes when either side calls Close, when the client's last proxy is removed, or when
// the client's handler is destroyed; its stubs are then dropped. A connection holds the connectors
// weakly: one that is destroyed stops serving new connections, and requests on open ones are still
// dispatched (without its overrides).
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
    // The user a server must run as for a socket connection made from now on (root is always
    // trusted): this process's own user unless set. The client checks the server's credentials, as
    // the kernel gives them, before it sends anything; another user's server is a ConnectError
    // naming both users, so that a socket planted where ours was expected never sees a request.
    void SetServerUser(uid_t uid);
    uid_t GetServerUser() const;

protected:
    Connector();
    virtual ~Connector();

    // Connects to the server registered under `serverName`: in this process when it is served here
    // and no address is given; otherwise on the socket at `address` (empty: the name's default).
    // Throws ConnectError when no server answers, when the two sides do not agree (above), or when
    // the server does not admit the client (its root stub cannot be made, ClientConnected throws).
    // The server's connector gets ClientConnected before this returns.
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
