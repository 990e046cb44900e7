// The calls of ours waiting for their replies on one connection, and what each has received.
//
// A connection has a handful of calls at once, usually: they are kept in a vector in the order
// they began, where a search costs less than a map's allocation per call. Not thread-safe: the
// connection's lock guards the table and its waiters.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <vector>

#include "../sync.h"
#include "frame.h"
#include "read_token.h"

namespace zel::proglibs::ipc2::socket {

// A thread waiting for its reply. It may hold the read token, and it runs the requests of its
// own chain that arrive meanwhile (a callback nested in its call).
struct Waiter : TokenHolder {
    std::condition_variable cv;
    bool parked = false;  // in cv.wait
    std::uint32_t callId = 0;
    std::uint64_t chain = 0;
    int depth = 0;  // of the call, in its chain
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    bool expired = false;  // the deadline passed first
    // The answer, once it came: a reply or an error frame's payload.
    bool done = false;
    FrameKind answerKind = FrameKind::Reply;
    std::uint8_t answerFlags = 0;
    std::shared_ptr<ByteStream> answer;
    // Requests of this waiter's chain, for it to run: rarely more than one, and a vector, unlike a
    // deque, allocates nothing until it is used.
    std::vector<Frame> inbox;
};

class CallTable {
public:
    // Adds the waiter under a fresh call id (never 0, never one in use).
    void Add(Waiter& w);
    void Remove(Waiter& w);

    Waiter* Find(std::uint32_t callId) const noexcept;
    // The innermost call waiting in the chain, which runs the chain's requests: a nested call
    // begins after its outer ones.
    Waiter* InnermostOf(std::uint64_t chain) const noexcept;
    // A parked caller with nothing to do but wait for its reply: the best reader, since its reply
    // then wakes nobody else.
    Waiter* ParkedReader() const noexcept;
    int Parked() const noexcept { return parked_; }
    // Waits on the waiter's condition variable, letting go of `guard` (the table's) meanwhile,
    // until the waiter's deadline at the latest.
    void Park(Waiter& w, Mutex& guard) ZEL_REQUIRES(guard) {
        w.parked = true;
        ++parked_;
        guard.WaitUntil(w.cv, w.deadline);
        --parked_;
        w.parked = false;
    }
    // The waiter's deadline has passed: it is marked so. Asks the clock only for a waiter that has
    // a deadline.
    static bool Expire(Waiter& w) noexcept;
    // A call given up on (its deadline passed): its answer, should it come, is dropped. The most
    // recent ones are remembered; an answer to an older one counts as one nobody waits for.
    void Abandon(std::uint32_t callId);
    // Whether an answer to `callId` is one to drop (and forgets the id).
    bool TakeAbandoned(std::uint32_t callId) noexcept;
    const std::vector<Waiter*>& All() const noexcept { return calls_; }

private:
    static constexpr std::size_t kRememberedAbandoned = 256;

    std::vector<Waiter*> calls_;
    std::uint32_t nextCallId_ = 0;
    int parked_ = 0;
    std::vector<std::uint32_t> abandoned_;  // oldest first
};

}  // namespace zel::proglibs::ipc2::socket
