#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<std::size_t> g_allocated{0};

}  // namespace

namespace aai_test {

void StartCountingAllocations() {
    g_allocated = 0;
    g_counting = true;
}

std::size_t StopCountingAllocations() {
    g_counting = false;
    return g_allocated;
}

}  // namespace aai_test

void* operator new(std::size_t size) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocated.fetch_add(size, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
