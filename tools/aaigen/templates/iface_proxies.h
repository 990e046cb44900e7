@generated@
//
// The proxy of each interface: a call of a method becomes a request to the object's stub on the
// other side of the connection, and the reply becomes its result (aai/detail/proxycore.h). Made by
// the broker's makeXProxy; released on the other side when the last holder lets go.
#pragma once

#include "aai/detail/proxycore.h"
#include "aai/interfaces.h"

namespace @ns@ {

@classes@

}  // namespace @ns@
