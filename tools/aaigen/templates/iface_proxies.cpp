@generated@
#include "aai/proxies.h"

#include "aai/detail/valuecodecs.h"

namespace @ns@ {

@methods@

}  // namespace @ns@
