// The client's half of connecting, apart from the runtime's connector so that it can be driven
// over any connection handler.
#pragma once

#include <memory>

#include "aai/detail/codec.h"
#include "aai/interfaces.h"

namespace zel::iface::aai::detail {

// Over a connection the runtime has just opened: the connect request (nine zero bytes, Send flag
// true), then from its reply the root reference and the server's version. A version other than
// this library's is reported and the root returned all the same, for the peer may still
// understand us. No connection, or no reply, is reported and gives an empty pointer; nothing is
// decoded from an absent reply. The reply is given back in every case.
std::shared_ptr<IAAService> Handshake(const Handler& handler, const Brokers& brokers);

}  // namespace zel::iface::aai::detail
