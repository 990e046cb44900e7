// How this process's connections of the interface are made: the bounds they are held to (the
// largest message, the deepest chain of nested calls, the calls waiting at once, the stubs alive at
// once, how long a peer may pause inside a message; ipc2/limits.h) and who may open a service's
// socket. The runtime's defaults hold until they are set.
#pragma once

#include <sys/types.h>

#include "ipc2/limits.h"

namespace zel::iface::aai {

// Connections made after the call are held to `limits`, and so is every connection that a server
// registered after the call accepts; connections already open keep theirs.
void SetConnectionLimits(const proglibs::ipc2::Limits& limits);
proglibs::ipc2::Limits GetConnectionLimits();

// The file mode of the socket of a service registered after the call (0600, its owner alone, by
// default) and, when not -1, its group: for a service whose clients run as other users.
void SetServiceSocketAccess(mode_t mode, gid_t group = static_cast<gid_t>(-1));

}  // namespace zel::iface::aai
