@generated@
//
// The interfaces of the service, each an abstract class whose methods are in slot order. A client
// holds proxies of them, a service implements them; either way they are held through
// std::shared_ptr. The text form of an interface pointer is its address.
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
