// The bounds this process's connections of the interface are held to: the largest message, the
// deepest chain of nested calls, the calls waiting at once, the stubs alive at once, and how long a
// peer may pause inside a message (ipc2/limits.h). The runtime's defaults hold until they are set.
#pragma once

#include "ipc2/limits.h"

namespace zel::iface::aai {

// Connections made after the call are held to `limits`, and so is every connection that a server
// registered after the call accepts; connections already open keep theirs.
void SetConnectionLimits(const proglibs::ipc2::Limits& limits);
proglibs::ipc2::Limits GetConnectionLimits();

}  // namespace zel::iface::aai
