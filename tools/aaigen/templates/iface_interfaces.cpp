@generated@
#include <ostream>

#include "aai/detail/pointertext.h"
#include "aai/interfaces.h"

namespace @ns@ {

@interfaces@

}  // namespace @ns@
