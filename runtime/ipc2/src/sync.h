// Locks that the compiler checks: a mutex and its scoped lock with Clang's thread-safety
// attributes, so that a member declared ZEL_GUARDED_BY(mu) cannot be touched without `mu` held
// (clang -Wthread-safety). Other compilers see plain std::mutex code.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define ZEL_TSA(x) __attribute__((x))
#else
#define ZEL_TSA(x)
#endif

#define ZEL_CAPABILITY(x) ZEL_TSA(capability(x))
#define ZEL_SCOPED_CAPABILITY ZEL_TSA(scoped_lockable)
#define ZEL_GUARDED_BY(x) ZEL_TSA(guarded_by(x))
#define ZEL_ACQUIRED_BEFORE(...) ZEL_TSA(acquired_before(__VA_ARGS__))
#define ZEL_REQUIRES(...) ZEL_TSA(requires_capability(__VA_ARGS__))
#define ZEL_ACQUIRE(...) ZEL_TSA(acquire_capability(__VA_ARGS__))
#define ZEL_RELEASE(...) ZEL_TSA(release_capability(__VA_ARGS__))
#define ZEL_TRY_ACQUIRE(...) ZEL_TSA(try_acquire_capability(__VA_ARGS__))
#define ZEL_EXCLUDES(...) ZEL_TSA(locks_excluded(__VA_ARGS__))
#define ZEL_NO_THREAD_SAFETY_ANALYSIS ZEL_TSA(no_thread_safety_analysis)

namespace zel::proglibs::ipc2 {

class ZEL_CAPABILITY("mutex") Mutex {
public:
    void Lock() ZEL_ACQUIRE() { m_.lock(); }
    void Unlock() ZEL_RELEASE() { m_.unlock(); }
    bool TryLock() ZEL_TRY_ACQUIRE(true) { return m_.try_lock(); }
    // Waits on `cv`, letting go of the mutex meanwhile: held before, and again when it returns.
    void Wait(std::condition_variable& cv) ZEL_REQUIRES(this) {
        std::unique_lock<std::mutex> lock(m_, std::adopt_lock);
        cv.wait(lock);
        lock.release();
    }
    // The same, until `deadline` at the latest (time_point::max(): no later than a notification).
    void WaitUntil(std::condition_variable& cv, std::chrono::steady_clock::time_point deadline) ZEL_REQUIRES(this) {
        if (deadline == std::chrono::steady_clock::time_point::max()) return Wait(cv);
        std::unique_lock<std::mutex> lock(m_, std::adopt_lock);
        cv.wait_until(lock, deadline);
        lock.release();
    }

private:
    friend class MutexLock;
    std::mutex m_;
};

// Holds a Mutex for its scope; may let go of it and take it again in between (the analysis
// follows both).
class ZEL_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mu) ZEL_ACQUIRE(mu) : lock_(mu.m_) {}
    ~MutexLock() ZEL_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Unlock() ZEL_RELEASE() { lock_.unlock(); }
    void Relock() ZEL_ACQUIRE() { lock_.lock(); }
    bool Holds() const noexcept { return lock_.owns_lock(); }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace zel::proglibs::ipc2
