@generated@
//
// What the shared proxy, stub and reference helpers need to know of each interface.
#pragma once

#include "aai/broker.h"

namespace @ns@::detail {

template <class IX>
struct Traits;

@traits@

}  // namespace @ns@::detail
