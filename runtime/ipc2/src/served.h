// The names this process serves, and admitting a new connection to one. One table and one
// admission for both transports: a client in this process reaches a name's registration directly,
// a client of another process through the name's socket, and both are admitted the same way, by the
// connector serving the name when the connection arrives, which is then the one the connection's
// requests and end go to.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "endpoint.h"
#include "ipc2/connector.h"

namespace zel::proglibs::ipc2::detail::served {

// What a server registered: everything a new connection needs to get its root stub.
struct Registration {
    // Not owned: a connector removes its registration in its destructor, and a connection takes a
    // strong reference through weak_from_this() under the table's lock.
    Connector* owner = nullptr;
    std::string rootTypeName;
    void* root = nullptr;
    StubFactory rootFactory;
    std::vector<std::string> modules;
    std::string checksum;
};

// Who may open a name's socket.
struct SocketAccess {
    mode_t mode = 0600;
    gid_t group = static_cast<gid_t>(-1);
};

// A name's registration as a new connection finds it, with its connector held.
struct Server {
    std::string name;
    Registration registration;
    std::shared_ptr<Connector> connector;
};

// Serves `registration` under `name`, in this process and on the name's socket. The socket
// belongs to the name, not to a connector: it is made when the name has none, and a connector
// taking the name over keeps serving it. Throws ConnectError when `exclusive` and another live
// connector serves the name, or when the socket cannot be made (the name is then not served).
void Register(const std::string& name, bool exclusive, Registration registration, const SocketAccess& access);
// Removes the name's registration if `owner` made it; its socket goes with it, while open
// connections stay.
void Unregister(const std::string& name, const Connector* owner);
// The name's server, or none when no live connector serves it.
std::optional<Server> Find(const std::string& name);
// Admits a connection's server end: its root stub (object 0), its binding to the server's
// connector, and that connector's ClientConnected. Throws what they throw; the connector is then
// not told of the connection's end.
void Admit(const Server& server, const std::shared_ptr<Endpoint>& end);

}  // namespace zel::proglibs::ipc2::detail::served
