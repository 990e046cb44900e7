// Records the largest single request made to the global operator new, so a test can show that a
// decoder refused a hostile length before sizing an allocation by it.
#pragma once

#include <cstddef>

namespace allocation_probe {

void Reset();
std::size_t Largest();

}  // namespace allocation_probe
