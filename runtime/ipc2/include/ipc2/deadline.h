// Deadlines: how long a call may take.
//
// Every call has one: the earliest of
//   - its connection's call timeout (Limits::callTimeoutMs, or ConnectionHandler::SetCallTimeout),
//   - the deadlines of the CallDeadline scopes alive on the calling thread,
//   - the deadline of the request the thread is running, if it makes the call while serving one:
//     a nested call gets what is left of its chain's time, across processes (a socket carries the
//     time left with each request).
// When it passes, the caller gets DeadlineError and the connection goes on: the peer is told the
// call was given up on (CurrentCall::Cancelled), and an answer that comes later is dropped.
// In-process the call runs on the caller's thread and cannot return before the implementation
// does; one that returns after its deadline throws DeadlineError all the same, and its nested calls
// fail once the deadline has passed.
#pragma once

#include <chrono>

namespace zel::proglibs::ipc2 {

using Clock = std::chrono::steady_clock;

// Bounds the calls this thread makes while the scope is alive (nested scopes: the earliest wins).
class CallDeadline {
public:
    explicit CallDeadline(std::chrono::milliseconds timeout) : CallDeadline(Clock::now() + timeout) {}
    explicit CallDeadline(Clock::time_point deadline) noexcept;
    ~CallDeadline();
    CallDeadline(const CallDeadline&) = delete;
    CallDeadline& operator=(const CallDeadline&) = delete;

    // The earliest deadline of the scopes alive on this thread; time_point::max() when none is.
    static Clock::time_point Current() noexcept;

private:
    Clock::time_point deadline_;
    const CallDeadline* outer_;
};

// The request this thread is running, as its implementation sees it.
struct CurrentCall {
    // How long it may still take (the caller's deadline); Clock::duration::max() outside a request
    // or for one without a deadline.
    static Clock::duration Remaining() noexcept;
    // Whether the caller has given up on it (its deadline passed, or it was cancelled); calls it
    // makes from then on fail at once.
    static bool Cancelled() noexcept;
};

}  // namespace zel::proglibs::ipc2
