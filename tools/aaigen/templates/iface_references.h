@generated@
//
// The reference marshaller of each interface: an interface pointer crosses a connection as the id
// of an object on the interface's home side (aai/detail/reference.h). SizeOf is always 4.
#pragma once

#include <memory>

#include "aai/brokers.h"
#include "aai/interfaces.h"
#include "ipc2/bytestream.h"
#include "ipc2/connectionhandler.h"

namespace @ns@ {

@classes@

}  // namespace @ns@
