@generated@
//
// The stub of each interface: it stands for one implementation object handed out over one
// connection, turns each request into a call of that object (aai/detail/stubcore.h), and keeps
// the other side's count of references to it. Made by the broker's makeXStub.
#pragma once

#include "aai/detail/stubcore.h"
#include "aai/interfaces.h"

namespace @ns@ {

@classes@

}  // namespace @ns@
