// Counts what the global operator new hands out while a Measurement is running: the bytes asked
// for in all, and the most that were alive at once beyond what was alive at the start. The
// replacement operators of this test executable (counting_allocator.cpp) feed it; the shared
// libraries resolve operator new to them too.
#pragma once

#include <cstddef>

namespace robustness {

struct Allocations {
    std::size_t total = 0;  // bytes requested in all
    std::size_t peak = 0;   // most bytes alive at once, counting from zero at the start
};

// One measurement at a time, on one thread (allocations of other threads count too).
class Measurement {
public:
    Measurement();
    ~Measurement();
    Measurement(const Measurement&) = delete;
    Measurement& operator=(const Measurement&) = delete;

    // Stops counting (idempotent) and returns what was counted.
    Allocations Stop();

private:
    bool running_ = true;
    Allocations result_;
};

}  // namespace robustness
