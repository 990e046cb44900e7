// The peer's requests this side is running (or has queued) that the peer may still give up on.
//
// A caller whose deadline passes tells the peer with a cancel frame naming the call; the request's
// entry here is then marked, and the implementation running it sees that (CurrentCall::Cancelled),
// as does every call it makes from then on, which fails at once. An entry lives from the moment
// the request is read until it has been answered; entries are reused, so that serving a request
// allocates nothing once the connection has served as many at once before. Not thread-safe: the
// connection's lock guards the table; the flag itself is read without it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace zel::proglibs::ipc2::socket {

struct ServedCall {
    std::uint32_t callId = 0;
    std::uint64_t chain = 0;
    std::atomic<bool> cancelled{false};
};

class ServedCalls {
public:
    // An entry for the request of (callId, chain); stable until End.
    ServedCall* Begin(std::uint32_t callId, std::uint64_t chain);
    void End(ServedCall* call) noexcept;
    // Marks the request of (callId, chain); false when none is served (answered already: a cancel
    // and the answer crossed).
    bool Cancel(std::uint32_t callId, std::uint64_t chain) noexcept;

private:
    std::vector<std::unique_ptr<ServedCall>> live_;
    std::vector<std::unique_ptr<ServedCall>> spare_;
};

}  // namespace zel::proglibs::ipc2::socket
