#include "channel.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "../fast_tls.h"
#include "trace/trace.h"

namespace zel::proglibs::ipc2::socket {

namespace {

// The request a thread is running, so that the calls it makes belong to the request's chain.
struct CallContext {
    const Channel* channel;
    std::uint64_t chain;
    CallContext* outer;
    // One-way requests posted while running it (releases of the proxies its arguments made): they
    // go out in one write with whatever this thread sends next, usually the reply, so that the
    // peer is woken once rather than twice.
    std::vector<unsigned char> pending;
};

// Pending posts are flushed early past this size.
constexpr std::size_t kMaxPending = 64 * 1024;
// A caller blocked reading its reply looks at its deadline this often: set once on the socket as
// its receive timeout, it costs nothing while replies come sooner.
constexpr auto kDeadlineSlice = std::chrono::milliseconds(50);
// An error text bigger than this says nothing more; it is cut rather than refused.
constexpr std::size_t kMaxErrorText = 16 * 1024;

thread_local CallContext* tlsContext ZEL_FAST_TLS = nullptr;
// Set on a connection's own service threads: they must not wait for themselves.
thread_local const Channel* tlsServiceOf ZEL_FAST_TLS = nullptr;

class ContextScope {
public:
    ContextScope(const Channel* channel, std::uint64_t chain) : c_{channel, chain, tlsContext, {}} { tlsContext = &c_; }
    ~ContextScope() { tlsContext = c_.outer; }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;
    std::vector<unsigned char>& Pending() noexcept { return c_.pending; }

private:
    CallContext c_;
};

FrameHeader RequestFrame(std::uint32_t callId, std::uint64_t chain, int depth, std::size_t size, std::uint8_t flags) {
    FrameHeader h;
    h.length = static_cast<std::uint32_t>(size);
    h.kind = FrameKind::Request;
    h.flags = flags;
    h.depth = static_cast<std::uint16_t>(depth);
    h.callId = callId;
    h.chain = chain;
    return h;
}

// The budget a request carries: what is left of its caller's time, in whole milliseconds (at
// least 1: a request is sent only before its deadline).
void SetBudget(FrameHeader& h, Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    h.flags |= kFlagBudget;
    h.budgetMs = static_cast<std::uint32_t>(std::clamp<long long>(left, 1, 0xFFFFFFFEll));
}

// A caller about to block for its reply: a deadline nearer than a receive slice is waited for
// exactly (the socket's receive timeout looks at farther ones soon enough). False when the
// deadline came before a byte.
bool AwaitFirstByte(int fd, Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return true;
    const auto left = deadline - Clock::now();
    if (left >= kDeadlineSlice) return true;
    if (left <= Clock::duration::zero()) return false;
    pollfd p{fd, POLLIN, 0};
    const int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    int ready;
    while ((ready = ::poll(&p, 1, ms)) < 0 && errno == EINTR) {
    }
    return ready != 0;  // a byte, or a failure the read will name
}

// Until when the caller of a request that arrived waits, by this side's clock.
Clock::time_point DeadlineOf(const FrameHeader& h) {
    return h.HasBudget() ? Clock::now() + std::chrono::milliseconds(h.budgetMs) : Clock::time_point::max();
}

// The answer to a request echoes its call id, chain and depth.
FrameHeader AnswerFrame(const FrameHeader& request, FrameKind kind, std::size_t size, std::uint8_t flags) {
    FrameHeader h = request;
    h.length = static_cast<std::uint32_t>(size);
    h.kind = kind;
    h.flags = flags;
    return h;
}

}  // namespace

// Leaves the call table however a call's wait ends: normally with mu_ held, or with an exception
// (an allocation that failed) thrown either side of its unlocked write.
class Channel::Leaving {
public:
    Leaving(Channel& c, MutexLock& lock, Waiter& w) : c_(c), lock_(lock), w_(w) {}
    ~Leaving() ZEL_NO_THREAD_SAFETY_ANALYSIS {
        if (!lock_.Holds()) lock_.Relock();
        c_.Leave(w_);
    }
    Leaving(const Leaving&) = delete;
    Leaving& operator=(const Leaving&) = delete;

private:
    Channel& c_;
    MutexLock& lock_;
    Waiter& w_;
};

Channel::Channel(UniqueFd fd, bool isServer)
    : isServer_(isServer), fd_(fd.release()), epoll_(fd_.Number()), token_(epoll_, fd_.Number()) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd_.Number(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred) {
        peer_.pid = cred.pid;
        peer_.uid = cred.uid;
        peer_.gid = cred.gid;
    }
    const timeval slice{0, static_cast<suseconds_t>(std::chrono::microseconds(kDeadlineSlice).count())};
    ::setsockopt(fd_.Number(), SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
    // Without its epoll set the connection cannot be served: Start() then refuses.
    if (!epoll_.Usable()) Trace(1, __func__, __LINE__, "cannot make the epoll set: " + ErrnoText(epoll_.Error()));
}

Channel::~Channel() {
    // The last reference: every service thread has finished its work, one of them may be this one.
    for (auto& t : pool_.TakeThreads()) {
        if (!t.joinable()) continue;
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach();
        } else {
            t.join();
        }
    }
}

void Channel::Attach(const std::shared_ptr<Endpoint>& endpoint) {
    limiter_ = endpoint->GetLimiter();
    bounds_ = FrameReader::Bounds{limiter_->Get().maxFrameSize, limiter_->Get().frameTimeoutMs};
    // A write that moves no byte for as long as a frame may pause means a peer that stopped reading.
    const auto stall = std::chrono::milliseconds(std::max(bounds_.stallMs, 1));
    const timeval limit{static_cast<time_t>(stall.count() / 1000), static_cast<suseconds_t>(stall.count() % 1000 * 1000)};
    ::setsockopt(fd_.Number(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    endpoint_ = endpoint;
    MutexLock lock(mu_);
    if (isServer_ && !closed_) keepAlive_ = endpoint;
}

bool Channel::Start(std::function<bool()> first) {
    MutexLock lock(mu_);
    return epoll_.Usable() && Spawn(std::move(first));
}

bool Channel::OnOwnThread() const noexcept { return tlsServiceOf == this; }

void Channel::Trace(int level, const char* function, int line, const std::string& text) const {
    if (!trace_enabled(level)) return;
    dus_trc_log(__FILE__, line, function, "ipc2",
                dus_trc_msg("socket connection (%s side, peer pid %d): %s", isServer_ ? "server" : "client",
                            static_cast<int>(peer_.pid), text.c_str()));
}

// ---- calls of ours

std::uint64_t Channel::ChainOfCall() noexcept {
    const CallContext* ctx = tlsContext;
    if (ctx != nullptr && ctx->channel == this) return ctx->chain;
    // Bit 0 tells the sides apart, so that chains started by either never collide.
    return (chainCounter_.fetch_add(1, std::memory_order_relaxed) + 1) << 1 | (isServer_ ? 1u : 0u);
}

std::vector<unsigned char>* Channel::OwnPending() const noexcept {
    CallContext* ctx = tlsContext;
    return ctx != nullptr && ctx->channel == this ? &ctx->pending : nullptr;
}

Outcome Channel::Exchange(const std::shared_ptr<ByteStream>& request, int depth, Clock::time_point deadline) {
    Waiter w;
    w.depth = depth;
    w.chain = ChainOfCall();
    w.deadline = deadline;
    {
        MutexLock lock(mu_);
        if (closed_) return Outcome{};
        calls_.Add(w);
        Leaving leaving(*this, lock, w);
        // Take the token before the request goes out: a reply quicker than us (the peer may run
        // first on this CPU) must not find the socket armed and wake a service thread instead.
        token_.Take(&w);
        lock.Unlock();
        // A failed write ends the connection, which ends the wait below at once.
        std::vector<unsigned char>* pending = OwnPending();
        FrameHeader frame = RequestFrame(w.callId, w.chain, depth, request->Size(), 0);
        SetBudget(frame, deadline);
        WriteFrame(frame, request->Data(), pending, &w);
        if (pending != nullptr) pending->clear();
        lock.Relock();
        WaitLoop(w);
    }
    if (w.expired) SendCancel(w);
    return AnswerOf(w);
}

void Channel::SendCancel(const Waiter& w) {
    FrameHeader h;
    h.kind = FrameKind::Cancel;
    h.depth = static_cast<std::uint16_t>(std::clamp(w.depth, 0, 0xFFFF));
    h.callId = w.callId;
    h.chain = w.chain;
    FrameWriter::Failure failure;
    bool sent = false;
    {
        FdUse use(fd_);
        if (use.fd() < 0 || writer_.Offer(use.fd(), h, sent, failure)) {
            // A peer that reads nothing now hears of it by its own deadline instead.
            if (!sent) Trace(2, __func__, __LINE__, "call " + std::to_string(w.callId) + " given up on; the peer was not told");
            return;
        }
    }
    Fail(failure.why, failure.stalled);
}

Outcome Channel::AnswerOf(Waiter& w) {
    // Out of the table, the waiter is this thread's alone.
    if (!w.done || !w.answer) return Outcome{w.expired ? Outcome::Kind::Expired : Outcome::Kind::Lost, nullptr};
    if (w.answerKind == FrameKind::Reply) return Outcome::Answer(std::move(w.answer));
    const bool overLimit = (w.answerFlags & kFlagOverLimit) != 0;
    return Outcome{overLimit ? Outcome::Kind::OverLimit : Outcome::Kind::Failed, std::move(w.answer)};
}

void Channel::Post(const std::shared_ptr<ByteStream>& request, int depth) {
    if (!IsOpen()) return;
    const FrameHeader h = RequestFrame(0, ChainOfCall(), depth, request->Size(), kFlagNoReply);
    if (std::vector<unsigned char>* pending = OwnPending()) {
        FrameWriter::Append(*pending, h, request->Data());
        if (pending->size() > kMaxPending) {
            WriteBytes(*pending);
            pending->clear();
        }
        return;
    }
    WriteFrame(h, request->Data(), nullptr, nullptr);
}

void Channel::WaitLoop(Waiter& w) {
    while (!closed_) {
        Frame f;
        if (!w.inbox.empty()) {
            f = std::move(w.inbox.front());
            w.inbox.erase(w.inbox.begin());
        } else if (w.done) {
            return;
        } else if (token_.HeldBy(&w) || token_.Take(&w)) {
            const Read read = ReadAndRoute(&w, &w, f);
            // Nothing within a receive slice: the reply may be later than the caller waits.
            if (read == Read::Nothing && CallTable::Expire(w)) return;
            if (read != Read::RunIt) continue;
        } else {
            calls_.Park(w, mu_);
            if (CallTable::Expire(w)) return;
            continue;
        }
        RunOwnChain(w, f);
    }
}

// A request of the waiter's own chain: run here, on the thread its caller is waiting for.
void Channel::RunOwnChain(Waiter& w, Frame& f) {
    if (token_.HeldBy(&w)) {
        if (f.header.IsOneWay() && calls_.Parked() == 0) {
            // A release: short, and our reply is likely right behind it, so we come back for the
            // token instead of arming the socket for the service threads.
            token_.Drop();
        } else {
            PassToken();
        }
    }
    RunUnlocked(f, &w);
}

void Channel::RunUnlocked(Frame& f, Waiter* caller) {
    ServedCall* const served = f.served;
    mu_.Unlock();
    RunRequest(f, caller);
    f = Frame{};
    mu_.Lock();
    if (served != nullptr) served_.End(served);
}

void Channel::Leave(Waiter& w) {
    calls_.Remove(w);
    if (w.expired) calls_.Abandon(w.callId);
    HandOnInbox(w);
    // Frames already buffered cost no system call: route them before the token goes, so that a
    // reply among them reaches its caller directly.
    while (token_.HeldBy(&w) && !closed_ && reader_.HasWholeFrame()) {
        Frame run;
        ReadAndRoute(&w, &w, run);
    }
    // Ours, or left free by a caller that ran a release of its chain: someone must read.
    if (token_.HeldBy(&w) || (token_.IsFree() && !token_.IsArmed())) PassToken();
}

void Channel::HandOnInbox(Waiter& w) {
    if (w.inbox.empty() || closed_) return;
    // Requests of the chain that nobody ran yet: whoever waits on the chain next, or the pool.
    Waiter* next = calls_.InnermostOf(w.chain);
    for (Frame& f : w.inbox) {
        if (next != nullptr) {
            next->inbox.push_back(std::move(f));
        } else {
            pool_.Queue(std::move(f));
        }
    }
    w.inbox.clear();
    if (next != nullptr) {
        next->cv.notify_one();
    } else if (pool_.MayRun()) {
        WakeRunner();
    }
}

// ---- reading and routing

FrameReader::Status Channel::ReadFrame(const Waiter* waiter, Frame& f, FrameReader::Failure& failure) {
    FdUse use(fd_);
    if (use.fd() < 0) {
        failure.why = "closed";
        return FrameReader::Status::Failed;
    }
    if (waiter != nullptr && !reader_.HasBytes() && !AwaitFirstByte(use.fd(), waiter->deadline))
        return FrameReader::Status::Nothing;
    return reader_.Read(use.fd(), waiter != nullptr, bounds_, f, failure);
}

Channel::Read Channel::ReadAndRoute(const TokenHolder* me, Waiter* waiter, Frame& run) {
    mu_.Unlock();
    Frame f;
    FrameReader::Failure failure;
    const FrameReader::Status st = ReadFrame(waiter, f, failure);
    mu_.Lock();
    switch (st) {
    case FrameReader::Status::Nothing: return Read::Nothing;
    case FrameReader::Status::Failed: ShutdownLocked(failure.why, failure.fault); return Read::Failed;
    case FrameReader::Status::Got: break;
    }
    if (f.header.kind == FrameKind::Request) return RouteRequest(me, waiter, f, run);
    if (f.header.kind == FrameKind::Cancel) {
        // Late for a request answered already, or for one refused: nothing to do.
        served_.Cancel(f.header.callId, f.header.chain);
        return Read::Routed;
    }
    RouteAnswer(waiter, f);
    return Read::Routed;
}

void Channel::RouteAnswer(Waiter* reader, Frame& f) {
    const FrameHeader& h = f.header;
    if (h.kind != FrameKind::Reply && h.kind != FrameKind::Error) {
        ShutdownLocked(std::string("unexpected ") + KindName(h.kind) + " frame on an open connection", true);
        return;
    }
    Waiter* w = calls_.Find(h.callId);
    // The late answer to a call given up on is no fault of the peer's.
    if (w == nullptr && calls_.TakeAbandoned(h.callId)) return;
    if (w == nullptr || w->done) {
        ShutdownLocked(std::string(KindName(h.kind)) + " for call " + std::to_string(h.callId) +
                           ", which nobody waits for",
                       true);
        return;
    }
    w->done = true;
    w->answerKind = h.kind;
    w->answerFlags = h.flags;
    w->answer = std::move(f.payload);
    if (w != reader) w->cv.notify_one();
}

Channel::Read Channel::RouteRequest(const TokenHolder* me, Waiter* waiter, Frame& f, Frame& run) {
    const FrameHeader& h = f.header;
    Waiter* w = calls_.InnermostOf(h.chain);
    // The peer says how deep the request is, but a callback runs on top of our own waiting call:
    // counting from that call keeps a peer that understates the depth from growing our stack.
    f.depth = w != nullptr ? std::max<int>(h.depth, w->depth + 1) : h.depth;
    f.deadline = DeadlineOf(h);
    std::string why;
    if (!limiter_->AcceptIncoming(PeekedHeader::Of(*f.payload), f.depth, h.IsOneWay(), why)) {
        Refuse(me, h, why);
        return Read::Routed;
    }
    if (!h.IsOneWay()) f.served = served_.Begin(h.callId, h.chain);
    if (w != nullptr && w == waiter) {
        run = std::move(f);  // the reading caller runs it next
        return Read::RunIt;
    }
    if (w != nullptr) {
        w->inbox.push_back(std::move(f));
        w->cv.notify_one();
        return Read::Routed;
    }
    if (waiter == nullptr && !pool_.HasQueued() && pool_.MayRun()) {
        // Run it on this service thread; the socket goes back to the others meanwhile.
        pool_.BeginRun();
        if (token_.HeldBy(me)) PassToken();
        run = std::move(f);
        return Read::RunIt;
    }
    pool_.Queue(std::move(f));
    if (pool_.MayRun()) WakeRunner();
    return Read::Routed;
}

void Channel::Refuse(const TokenHolder* me, const FrameHeader& request, const std::string& why) {
    // A one-way request has nobody to tell; the limiter traced it.
    if (request.IsOneWay()) return;
    mu_.Unlock();
    WriteFrame(AnswerFrame(request, FrameKind::Error, why.size(), kFlagOverLimit), why.data(), nullptr, me);
    mu_.Lock();
}

// ---- running requests

void Channel::RunRequest(Frame& f, Waiter* caller) noexcept {
    const FrameHeader request = f.header;
    ContextScope scope(this, request.chain);
    std::shared_ptr<Endpoint> endpoint = endpoint_.lock();
    const std::atomic<bool>* cancelled = f.served != nullptr ? &f.served->cancelled : nullptr;
    Outcome outcome = endpoint ? endpoint->Serve(endpoint, std::move(f.payload), f.depth, request.IsOneWay(),
                                                 f.deadline, cancelled)
                               : Outcome::Failure("the connection is closing");
    if (caller != nullptr) {
        // A request of the chain `caller` waits in: the answer lets the peer go on, and its next
        // frame is most likely our reply, so take the token back before the answer goes out.
        MutexLock lock(mu_);
        if (!closed_) token_.Take(caller);
    }
    // Accepted when it was read, the request is open no more: counted out before the answer goes,
    // since the peer may make its next call as soon as it has the answer.
    limiter_->CloseCall();
    Answer(request, outcome, scope.Pending(), caller);
    scope.Pending().clear();
    outcome = Outcome{};
    // Possibly the last reference to the endpoint: only after the answer went out.
    endpoint.reset();
    // Whatever was posted while letting go of the above goes out on its own.
    WriteBytes(scope.Pending(), caller);
}

void Channel::Answer(const FrameHeader& request, const Outcome& outcome, std::vector<unsigned char>& pending,
                     const TokenHolder* holder) {
    // Nobody waits for a one-way request's outcome: the endpoint traced a failure.
    if (request.IsOneWay()) {
        WriteBytes(pending, holder);
        return;
    }
    const ByteStream& payload = *outcome.payload;
    if (outcome.kind == Outcome::Kind::Reply) {
        WriteFrame(AnswerFrame(request, FrameKind::Reply, payload.Size(), 0), payload.Data(), &pending, holder);
        return;
    }
    const std::size_t size = std::min({payload.Size(), kMaxErrorText, bounds_.maxPayload});
    const std::uint8_t flags = outcome.kind == Outcome::Kind::OverLimit ? kFlagOverLimit : 0;
    WriteFrame(AnswerFrame(request, FrameKind::Error, size, flags), payload.Data(), &pending, holder);
}

// ---- writing

template <class Send>
bool Channel::WriteOut(const TokenHolder* holder, Send send) {
    FrameWriter::Failure failure;
    {
        FdUse use(fd_);
        if (use.fd() < 0) return false;
        const FrameWriter::BeforeWaiting letGo = [this, holder] { LetGoOfToken(holder); };
        if (send(use.fd(), holder != nullptr ? &letGo : nullptr, failure)) return true;
    }
    // A peer that stopped reading holds a writer: worth saying why its connection went.
    Fail(failure.why, failure.stalled);
    return false;
}

bool Channel::WriteFrame(const FrameHeader& header, const void* payload, const std::vector<unsigned char>* before,
                         const TokenHolder* holder) {
    return WriteOut(holder, [&](int fd, const FrameWriter::BeforeWaiting* letGo, FrameWriter::Failure& failure) {
        return writer_.Write(fd, header, payload, before, letGo, failure);
    });
}

bool Channel::WriteBytes(const std::vector<unsigned char>& frames, const TokenHolder* holder) {
    if (frames.empty()) return true;
    return WriteOut(holder, [&](int fd, const FrameWriter::BeforeWaiting* letGo, FrameWriter::Failure& failure) {
        return writer_.WriteBytes(fd, frames, letGo, failure);
    });
}

void Channel::LetGoOfToken(const TokenHolder* holder) {
    MutexLock lock(mu_);
    if (token_.HeldBy(holder)) PassToken();
}

// ---- the read token and the service threads

void Channel::PassToken(bool goingIdle) {
    token_.Drop();
    if (closed_) return;
    // A caller waiting for its reply is the best reader: the reply then wakes nobody else.
    if (Waiter* w = calls_.ParkedReader()) {
        token_.GiveTo(w);
        w->cv.notify_one();
        return;
    }
    Arm(goingIdle);
}

void Channel::Arm(bool goingIdle) {
    token_.Arm();
    // Frames already buffered are invisible to epoll: wake a service thread for them.
    if (reader_.HasBytes()) token_.Kick();
    // Someone must be waiting for the socket (or the kick) to fire.
    if (pool_.Idle() == 0 && !goingIdle) Spawn();
}

void Channel::WakeRunner() {
    if (pool_.Idle() > 0) {
        token_.Kick();
    } else {
        Spawn();
    }
}

bool Channel::Spawn(std::function<bool()> first) {
    if (closed_) return false;
    std::string why;
    auto self = shared_from_this();
    if (pool_.Spawn([self, first = std::move(first)] { self->ServiceMain(first); }, why)) return true;
    if (!why.empty()) Trace(1, __func__, __LINE__, why);
    return false;
}

void Channel::ServiceMain(const std::function<bool()>& first) {
    tlsServiceOf = this;
    bool serve = true;
    if (first) {
        try {
            serve = first();
        } catch (const std::exception& e) {
            Trace(1, __func__, __LINE__, std::string("handshake failed: ") + e.what());
            serve = false;
        }
    }
    MutexLock lock(mu_);
    pool_.Woken();  // counted idle from its start, so that nobody starts another one meanwhile
    if (!serve) ShutdownLocked("the handshake did not complete", false);
    ServiceLoop();
    pool_.Ended();
    ReleaseIfUnused();
    const bool clean = !cleanupClaimed_;
    cleanupClaimed_ = true;
    lock.Unlock();
    // A request still running when the stubs are dropped keeps none it makes afterwards: the
    // registry is closed.
    if (clean) Cleanup();
    tlsServiceOf = nullptr;
}

void Channel::ServiceLoop() {
    const TokenHolder me;  // this thread, when it holds the token
    bool socketFired = false;
    while (!closed_) {
        if (token_.HeldBy(&me)) {
            ReadAsServiceThread(me);
        } else if (pool_.HasRunnable()) {
            RunQueued(std::exchange(socketFired, false));
        } else if (token_.IsFree() && (!token_.IsArmed() || socketFired || reader_.HasBytes())) {
            // Free; or armed, and either the socket fired for this thread (which disarmed it) or
            // frames are buffered where epoll cannot see them.
            if (socketFired) token_.Fired();
            token_.Take(&me);
            socketFired = false;
        } else {
            socketFired = WaitIdle();
        }
    }
    if (token_.HeldBy(&me)) token_.Drop();
}

void Channel::ReadAsServiceThread(const TokenHolder& me) {
    Frame f;
    const Read read = ReadAndRoute(&me, nullptr, f);
    if (read == Read::RunIt) {
        RunOnPool(f);
        return;
    }
    // Nothing more for now, or a caller would rather read its own reply: this thread goes back to
    // the epoll set itself.
    if (token_.HeldBy(&me) && (read == Read::Nothing || (calls_.Parked() != 0 && !reader_.HasWholeFrame())))
        PassToken(true);
}

void Channel::RunQueued(bool socketFired) {
    Frame f = pool_.Dequeue();
    pool_.BeginRun();
    // The socket fired for this thread too, which disarmed it: someone else must watch it while the
    // queued request runs, or the peer's next frame waits for it.
    if (socketFired && token_.IsFree() && token_.IsArmed()) Arm();
    // This thread may have been woken for more than one piece of work.
    if (pool_.HasRunnable() || (token_.IsFree() && token_.IsArmed() && reader_.HasBytes())) WakeRunner();
    RunOnPool(f);
}

void Channel::RunOnPool(Frame& f) {
    RunUnlocked(f);
    pool_.EndRun();
}

bool Channel::WaitIdle() {
    pool_.GoIdle();
    mu_.Unlock();
    const EpollSet::Events fired = epoll_.Wait();
    mu_.Lock();
    pool_.Woken();
    if (closed_) return false;
    if (fired.kick) {
        epoll_.ConsumeKick();
        token_.KickTaken();
    }
    return fired.socket;
}

// ---- ending

void Channel::Fail(const std::string& reason, bool fault) {
    MutexLock lock(mu_);
    ShutdownLocked(reason, fault);
}

bool Channel::ShutdownLocked(const std::string& reason, bool fault) {
    if (closed_) return false;
    closed_ = true;
    open_.store(false, std::memory_order_release);
    Trace(fault ? 1 : 2, __func__, __LINE__, "closing: " + reason);
    token_.KickForever();
    fd_.Shutdown();  // wakes whoever is in poll(), recv() or send()
    for (Waiter* w : calls_.All()) w->cv.notify_one();
    ReleaseIfUnused();
    return true;
}

void Channel::ReleaseIfUnused() {
    // A handler the application still holds keeps this channel, but not its descriptors: the
    // socket closes with its last use (fd.h), the epoll set with the last thread that could wait in it.
    if (closed_ && pool_.Threads() == 0) epoll_.Release();
}

void Channel::Cleanup() {
    // Drops the stubs and tells the connector; then the server's end goes (it may be the last
    // reference to this channel: `self` keeps it for the rest of this function).
    const std::shared_ptr<Channel> self = shared_from_this();
    std::shared_ptr<Endpoint> endpoint = endpoint_.lock();
    if (endpoint) endpoint->Ended();
    std::shared_ptr<Endpoint> keep;
    std::function<void()> ended;
    {
        MutexLock lock(mu_);
        keep = std::move(keepAlive_);
        ended = std::move(whenEnded_);
    }
    keep.reset();
    endpoint.reset();
    if (ended) ended();
}

void Channel::WhenEnded(std::function<void()> ended) {
    MutexLock lock(mu_);
    whenEnded_ = std::move(ended);
}

void Channel::Close(const std::string& reason) {
    bool clean;
    const bool join = !OnOwnThread();
    {
        MutexLock lock(mu_);
        if (join) pool_.JoinerComing();
        ShutdownLocked(reason, false);
        clean = !cleanupClaimed_;
        cleanupClaimed_ = true;
    }
    if (clean) Cleanup();
    if (join) JoinThreads();
}

void Channel::JoinThreads() {
    joinMu_.Lock();
    std::vector<std::thread> threads;
    {
        MutexLock lock(mu_);
        threads = pool_.TakeThreads();
    }
    for (auto& t : threads) {
        if (t.joinable()) t.join();
    }
    joinMu_.Unlock();
}

}  // namespace zel::proglibs::ipc2::socket
