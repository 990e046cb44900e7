// The requests this thread is running, innermost first: which connection each came on (an
// implementation asks CurrentConnection() who called) and how deep in its chain of nested calls it
// is, which makes the depth of any call the thread makes while running it.
#pragma once

#include <memory>

#include "ipc2/connectionhandler.h"

namespace zel::proglibs::ipc2 {

class RunningRequest {
public:
    // `connection` outlives the request: its link holds it while the request runs.
    RunningRequest(ConnectionHandler& connection, int depth) noexcept
        : connection_(connection), depth_(depth), outer_(innermost_) {
        innermost_ = this;
    }
    ~RunningRequest() { innermost_ = outer_; }
    RunningRequest(const RunningRequest&) = delete;
    RunningRequest& operator=(const RunningRequest&) = delete;

    // The depth of the innermost request this thread runs, on any connection; 0 outside any.
    static int Depth() noexcept { return innermost_ != nullptr ? innermost_->depth_ : 0; }

private:
    friend std::shared_ptr<ConnectionHandler> CurrentConnection();
    static inline thread_local const RunningRequest* innermost_ = nullptr;

    ConnectionHandler& connection_;
    const int depth_;
    const RunningRequest* const outer_;
};

}  // namespace zel::proglibs::ipc2
