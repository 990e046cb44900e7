// Counts the bytes requested from the global operator new while counting is on. The replacement
// operator new of this test executable (allocation_counter.cpp) feeds it, and it sees what the
// shared libraries allocate too, since they resolve operator new to the executable's.
#pragma once

#include <cstddef>

namespace aai_test {

void StartCountingAllocations();
// Stops counting and returns the bytes requested since the start.
std::size_t StopCountingAllocations();

}  // namespace aai_test
