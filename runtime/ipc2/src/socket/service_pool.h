// A connection's own threads and the requests waiting for one.
//
// At most kMaxRunning threads run requests that belong to no waiting call at once, and one more
// can always read, so a connection never has more than kMaxThreads threads of its own. They are
// started only when needed and end when the connection closes. Not thread-safe: the connection's
// lock guards the pool; the threads themselves are joined without it.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "frame.h"

namespace zel::proglibs::ipc2::socket {

class ServicePool {
public:
    static constexpr int kMaxRunning = 4;
    static constexpr int kMaxThreads = kMaxRunning + 1;

    // Starts a thread running `body`, counted idle from its start so that nobody starts another
    // meanwhile. False at the maximum, or with `why` when no thread could be started.
    bool Spawn(std::function<void()> body, std::string& why);
    // The calling thread has left its work loop: it is let go (detached), so that a finished thread
    // holds nothing while the connection lives on, unless a joiner has taken it already or has said
    // it is coming (a detached thread may still be on its way out when the joiner looks).
    void Ended() noexcept;
    // Whoever closes the connection will join its threads: from now on none is let go.
    void JoinerComing() noexcept { joinerComing_ = true; }
    // The threads started so far, to be joined.
    std::vector<std::thread> TakeThreads() noexcept { return std::move(started_); }

    // Threads started and not yet ended.
    int Threads() const noexcept { return threads_; }
    int Idle() const noexcept { return idle_; }
    void GoIdle() noexcept { ++idle_; }
    void Woken() noexcept { --idle_; }

    bool MayRun() const noexcept { return running_ < kMaxRunning; }
    void BeginRun() noexcept { ++running_; }
    void EndRun() noexcept { --running_; }

    bool HasQueued() const noexcept { return !queue_.empty(); }
    // A queued request and a thread free to run it.
    bool HasRunnable() const noexcept { return HasQueued() && MayRun(); }
    void Queue(Frame f) { queue_.push_back(std::move(f)); }
    Frame Dequeue() {
        Frame f = std::move(queue_.front());
        queue_.pop_front();
        return f;
    }

private:
    std::deque<Frame> queue_;
    std::vector<std::thread> started_;
    int threads_ = 0;
    bool joinerComing_ = false;
    int idle_ = 0;     // in epoll_wait, or started and on their way there
    int running_ = 0;  // running a request that belongs to no waiting call
};

}  // namespace zel::proglibs::ipc2::socket
