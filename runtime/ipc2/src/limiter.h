// The limits of one end of a connection, checked: the size of what it sends and answers, the depth
// of nested calls, and the calls open on it at once. The endpoint checks its own calls with it and
// its link the peer's requests as they arrive, so both directions of both transports are held to
// one count and worded one way. The two ends of an in-process connection share one: a call is open
// on both at once, and is counted once, as it is made.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "ipc2/bytestream.h"
#include "ipc2/limits.h"
#include "ipc2/requestheader.h"
#include "running.h"

namespace zel::proglibs::ipc2 {

class Limiter {
public:
    // Limits outside what a connection can carry are brought within it (a frame's size fits 32 bits,
    // a depth 16; at least one call may be open and nest).
    Limiter(const Limits& limits, std::string serverName);
    Limiter(const Limiter&) = delete;
    Limiter& operator=(const Limiter&) = delete;

    const Limits& Get() const noexcept { return limits_; }

    // The depth of a call this thread makes now: one below the request it runs (on any
    // connection), else 1. Throws LimitError past the depth limit, or for a request larger than a
    // frame. A one-way request nests nothing on this side: it goes at the deepest level allowed.
    int PlaceOutgoing(const ByteStream& request, bool oneWay) const {
        if (Fits(request.Size())) {
            const int depth = RunningRequest::Depth() + 1;
            if (depth <= limits_.maxCallDepth) return depth;
        }
        return PlaceBeyond(request, oneWay);
    }
    // Counts a call of ours among the calls open on the connection; throws LimitError past the
    // limit (one-way requests, which cannot be refused without leaking what they release, may be
    // kOneWayAllowance times as many).
    void OpenOutgoing(const ByteStream& request, bool oneWay) {
        if (!Open(oneWay)) ThrowOutstanding(request);
    }
    // Counts a request of the peer's in, made at `depth`; false with the reason past the depth
    // limit or the calls open at once. A refused one-way request is traced, since nobody hears of
    // it otherwise.
    bool AcceptIncoming(const PeekedHeader& header, int depth, bool oneWay, std::string& why);
    // A call counted in, either way, has ended.
    void CloseCall() noexcept { open_.fetch_sub(1, std::memory_order_relaxed); }
    // Whether a message of `size` bytes fits in a frame, and why a reply that does not cannot go.
    bool Fits(std::size_t size) const noexcept { return size <= limits_.maxFrameSize; }
    std::string ReplyText(const PeekedHeader& request, std::size_t size) const;

    int OpenCalls() const noexcept { return open_.load(std::memory_order_relaxed); }
    const std::string& ServerName() const noexcept { return serverName_; }

private:
    bool Open(bool oneWay) noexcept {
        const long long allowed =
            static_cast<long long>(limits_.maxOutstandingCalls) * (oneWay ? kOneWayAllowance : 1);
        if (open_.fetch_add(1, std::memory_order_relaxed) < allowed) return true;
        open_.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    // The slow ways out of PlaceOutgoing and OpenOutgoing.
    int PlaceBeyond(const ByteStream& request, bool oneWay) const;
    [[noreturn]] void ThrowOutstanding(const ByteStream& request) const;
    std::string DepthText(const PeekedHeader& call, int depth) const;

    const Limits limits_;
    const std::string serverName_;
    std::atomic<int> open_{0};
};

// Counts a call of ours open for its scope.
class OpenCall {
public:
    OpenCall(Limiter& limiter, const ByteStream& request, bool oneWay) : limiter_(limiter) {
        limiter.OpenOutgoing(request, oneWay);
    }
    ~OpenCall() { limiter_.CloseCall(); }
    OpenCall(const OpenCall&) = delete;
    OpenCall& operator=(const OpenCall&) = delete;

private:
    Limiter& limiter_;
};

}  // namespace zel::proglibs::ipc2

namespace zel::proglibs::ipc2 {

// Each bound the smaller of the two: for the two ends of a connection within one process, which
// can hold every call to both sides' limits before it is made.
Limits Stricter(const Limits& a, const Limits& b) noexcept;

}  // namespace zel::proglibs::ipc2
