// The requests this thread is running, innermost first: which connection each came on (an
// implementation asks CurrentConnection() who called), how deep in its chain of nested calls it
// is, and until when its caller waits. They make the depth and the deadline of any call the thread
// makes while running one.
#pragma once

#include <atomic>
#include <memory>

#include "ipc2/connectionhandler.h"
#include "ipc2/deadline.h"
#include "fast_tls.h"

namespace zel::proglibs::ipc2 {

class RunningRequest {
public:
    // `connection` outlives the request: its link holds it while the request runs. `cancelled`,
    // when given, is raised when the caller gives the request up; it outlives the request too.
    RunningRequest(ConnectionHandler& connection, int depth, Clock::time_point deadline,
                   const std::atomic<bool>* cancelled = nullptr) noexcept
        : connection_(connection), depth_(depth), deadline_(deadline), cancelled_(cancelled), outer_(innermost_) {
        innermost_ = this;
    }
    ~RunningRequest() { innermost_ = outer_; }
    RunningRequest(const RunningRequest&) = delete;
    RunningRequest& operator=(const RunningRequest&) = delete;

    // The depth of the innermost request this thread runs, on any connection; 0 outside any.
    static int Depth() noexcept { return innermost_ != nullptr ? innermost_->depth_ : 0; }
    // Its caller's deadline; time_point::max() outside any request, or for one without.
    static Clock::time_point Deadline() noexcept { return innermost_ != nullptr ? innermost_->deadline_ : Clock::time_point::max(); }
    // Whether its caller gave it up.
    static bool Cancelled() noexcept {
        return innermost_ != nullptr && innermost_->cancelled_ != nullptr &&
               innermost_->cancelled_->load(std::memory_order_acquire);
    }

private:
    friend std::shared_ptr<ConnectionHandler> CurrentConnection();
    static inline thread_local const RunningRequest* innermost_ ZEL_FAST_TLS = nullptr;

    ConnectionHandler& connection_;
    const int depth_;
    const Clock::time_point deadline_;
    const std::atomic<bool>* const cancelled_;
    const RunningRequest* const outer_;
};

}  // namespace zel::proglibs::ipc2
