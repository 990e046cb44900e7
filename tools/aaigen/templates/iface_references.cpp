@generated@
#include "aai/references.h"

#include "aai/detail/reference.h"

namespace @ns@ {

@references@

}  // namespace @ns@
