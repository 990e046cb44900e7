// The in-process transport: a connection to a server of this process is a pair of endpoints whose
// links hand each request straight to the other end, which runs it on the calling thread. No
// thread is woken on the call path, and calls nest in both directions up to the depth limit.
#pragma once

#include <memory>

#include "connect.h"

namespace zel::proglibs::ipc2::detail::inprocess {

// A connection to the server registered under the client's server name in this process, or null
// when none is. Both ends are held to the stricter of the two sides' limits, which lets every
// limit be checked before a call is made. Throws ConnectError when the two sides do not agree
// or the server does not admit the client.
std::shared_ptr<Endpoint> Connect(const ClientSide& client);

}  // namespace zel::proglibs::ipc2::detail::inprocess
