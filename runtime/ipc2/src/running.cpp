#include "running.h"

#include <algorithm>

namespace zel::proglibs::ipc2 {

namespace {
thread_local const CallDeadline* tlsInnermostDeadline ZEL_FAST_TLS = nullptr;
}  // namespace

std::shared_ptr<ConnectionHandler> CurrentConnection() {
    const RunningRequest* innermost = RunningRequest::innermost_;
    return innermost != nullptr ? innermost->connection_.shared_from_this() : nullptr;
}

CallDeadline::CallDeadline(Clock::time_point deadline) noexcept
    : deadline_(std::min(deadline, Current())), outer_(tlsInnermostDeadline) {
    tlsInnermostDeadline = this;
}

CallDeadline::~CallDeadline() { tlsInnermostDeadline = outer_; }

Clock::time_point CallDeadline::Current() noexcept {
    return tlsInnermostDeadline != nullptr ? tlsInnermostDeadline->deadline_ : Clock::time_point::max();
}

Clock::duration CurrentCall::Remaining() noexcept {
    const Clock::time_point deadline = RunningRequest::Deadline();
    if (deadline == Clock::time_point::max()) return Clock::duration::max();
    return std::max(deadline - Clock::now(), Clock::duration::zero());
}

bool CurrentCall::Cancelled() noexcept {
    if (RunningRequest::Cancelled()) return true;
    const Clock::time_point deadline = RunningRequest::Deadline();
    return deadline != Clock::time_point::max() && Clock::now() >= deadline;
}

}  // namespace zel::proglibs::ipc2
