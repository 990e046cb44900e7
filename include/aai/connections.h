// How this process's connections of the interface are made: the bounds they are held to (the
// largest message, the deepest chain of nested calls, the calls waiting at once, the stubs alive at
// once, how long a peer may pause inside a message, how long a call waits; ipc2/limits.h) and who
// may open a service's socket; the runtime's defaults hold until they are set. And what a client
// can learn of a connection it holds: whether it is alive, and when it ends.
#pragma once

#include <sys/types.h>

#include <memory>

#include "ipc2/connectionhandler.h"
#include "ipc2/limits.h"
#include "ipc2/objects.h"

namespace zel::iface::aai {

// Connections made after the call are held to `limits`, and so is every connection that a server
// registered after the call accepts; connections already open keep theirs.
void SetConnectionLimits(const proglibs::ipc2::Limits& limits);
proglibs::ipc2::Limits GetConnectionLimits();

// The file mode of the socket of a service registered after the call (0600, its owner alone, by
// default) and, when not -1, its group: for a service whose clients run as other users.
void SetServiceSocketAccess(mode_t mode, gid_t group = static_cast<gid_t>(-1));

// The user the service must run as for a connection made after the call (root is always
// trusted): this process's own user unless set. Connect checks it before sending anything and
// throws ConnectError naming both users otherwise, so that no request (and no password in one)
// reaches a socket someone else put where the service was expected.
void SetServiceUser(uid_t uid);

// The connection a remote object is reached over, for asking whether it is still alive
// (IsConnected), being told when it ends (OnDisconnect), bounding its calls (SetCallTimeout) or
// closing it; null for an object of this process or a null pointer.
//     auto service = IAAService::Connect();
//     ConnectionOf(service)->OnDisconnect([] { /* connect again later */ });
template <class Interface>
std::shared_ptr<proglibs::ipc2::ConnectionHandler> ConnectionOf(const std::shared_ptr<Interface>& object) {
    auto* proxy = dynamic_cast<proglibs::ipc2::IProxy*>(object.get());
    return proxy != nullptr ? proxy->GetConnection() : nullptr;
}

}  // namespace zel::iface::aai
