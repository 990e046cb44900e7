@generated@
//
// The interfaces of the service, each an abstract class whose methods are in slot order. A client
// holds proxies of them, a service implements them; either way they are held through
// std::shared_ptr. The text form of an interface pointer is its address.
//
// Calling a proxy's method blocks the calling thread until the answer has come, or the call's
// deadline has passed (30 s unless given less: ipc2/deadline.h). Reply handlers passed as
// arguments are called back during that call, on the calling thread, before the call returns. A
// notification (a call of the service's that belongs to no call of the client's) runs on one of
// the connection's own threads, at most four at once per connection (in one process: on the
// notifying thread); an implementation on the service's side runs on a thread of the connection
// that carried the request. Any of them may
// call further methods, nested as deep as the connection's limit.
//
// What a call throws when it cannot deliver its result:
//   - the connection is lost (before or during the call): for a method with a result, the trace
//     facility's fatal report, trace::FatalError by default (trace/trace.h); a method without a
//     result returns, its loss traced. Whether a connection is alive, and a callback at its end:
//     ConnectionOf (aai/connections.h);
//   - the implementation on the other side threw, or the request could not be decoded there:
//     ipc2::RemoteError, naming the call and the reason;
//   - a limit of either side refused it (size, depth, calls open at once): ipc2::LimitError;
//   - its deadline passed first: ipc2::DeadlineError (the other side is told; the connection
//     goes on);
//   - Connect: ipc2::ConnectError when no service answers; the fatal report when the service's
//     version differs from the client's.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "aai/tostring.h"
#include "aai/types.h"

namespace @ns@ {

struct InterfaceBrokers;
@forward@

@interfaces@

}  // namespace @ns@
