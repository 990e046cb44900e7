#include "counting_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<std::size_t> g_total{0};
std::atomic<long long> g_live{0};
std::atomic<long long> g_peak{0};

// Every block carries its size in front, so that a delete can take it off the live count.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* Allocate(std::size_t size) {
    if (size > static_cast<std::size_t>(-1) - kHeader) return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (!block) return nullptr;
    *reinterpret_cast<std::size_t*>(block) = size;
    // A block allocated while counting is marked, so that only those count down when freed.
    const bool counting = g_counting.load(std::memory_order_relaxed);
    *reinterpret_cast<std::size_t*>(block + sizeof(std::size_t)) = counting ? 1 : 0;
    if (counting) {
        g_total.fetch_add(size, std::memory_order_relaxed);
        const long long live = g_live.fetch_add(static_cast<long long>(size), std::memory_order_relaxed) +
                               static_cast<long long>(size);
        long long peak = g_peak.load(std::memory_order_relaxed);
        while (live > peak && !g_peak.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
        }
    }
    return block + kHeader;
}

void Release(void* p) noexcept {
    if (!p) return;
    auto* block = static_cast<unsigned char*>(p) - kHeader;
    if (*reinterpret_cast<std::size_t*>(block + sizeof(std::size_t)) != 0)
        g_live.fetch_sub(static_cast<long long>(*reinterpret_cast<std::size_t*>(block)), std::memory_order_relaxed);
    std::free(block);
}

void* AllocateOrThrow(std::size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}

}  // namespace

namespace robustness {

Measurement::Measurement() {
    g_total = 0;
    g_live = 0;
    g_peak = 0;
    g_counting = true;
}

Measurement::~Measurement() { Stop(); }

Allocations Measurement::Stop() {
    if (running_) {
        g_counting = false;
        running_ = false;
        result_.total = g_total.load();
        result_.peak = static_cast<std::size_t>(g_peak.load());
    }
    return result_;
}

}  // namespace robustness

// The project has no over-aligned types; the aligned forms are left to the standard library.
void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
