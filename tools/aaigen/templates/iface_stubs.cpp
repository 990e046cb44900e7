@generated@
#include "aai/stubs.h"

#include "aai/detail/service.h"
#include "aai/detail/valuecodecs.h"

namespace @ns@ {

@stubs@

}  // namespace @ns@
