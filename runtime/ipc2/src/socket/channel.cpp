#include "channel.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "ipc2/errors.h"
#include "trace/trace.h"

namespace zel::proglibs::ipc2::socket {

namespace {

// The request a thread is running, so that the calls it makes belong to the request's chain.
struct CallContext {
    const Channel* channel;
    std::uint64_t chain;
    int depth;
    CallContext* outer;
    // One-way requests posted while running it (releases of the proxies its arguments made): they
    // go out in one write with whatever this thread sends next, usually the reply, so that the
    // peer is woken once rather than twice.
    std::vector<unsigned char> pending;
};

// Pending posts are flushed early past this size.
constexpr std::size_t kMaxPending = 64 * 1024;

thread_local CallContext* tlsContext = nullptr;
// Set on a connection's own service threads: they must not wait for themselves.
thread_local const Channel* tlsServiceOf = nullptr;

class ContextScope {
public:
    ContextScope(const Channel* channel, std::uint64_t chain, int depth) : c_{channel, chain, depth, tlsContext, {}} {
        tlsContext = &c_;
    }
    ~ContextScope() { tlsContext = c_.outer; }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;
    std::vector<unsigned char>& Pending() noexcept { return c_.pending; }

private:
    CallContext c_;
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char b[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(b, sizeof b, format, ap);
    va_end(ap);
    return b;
}

// An error text bigger than this says nothing more; it is cut rather than refused.
constexpr std::size_t kMaxErrorText = 16 * 1024;

const char* KindName(std::uint8_t kind) {
    switch (static_cast<FrameKind>(kind)) {
    case FrameKind::Request: return "request";
    case FrameKind::Reply: return "reply";
    case FrameKind::Error: return "error";
    case FrameKind::Hello: return "hello";
    case FrameKind::HelloAck: return "hello-ack";
    }
    return "unknown";
}

}  // namespace

void TraceConnection(int level, const char* file, int line, const char* function, const Channel* channel,
                     const std::string& text) {
    if (!trace_enabled(level)) return;
    dus_trc_log(file, line, function, "ipc2",
                dus_trc_msg("socket connection (%s side, peer pid %d): %s", channel->IsServer() ? "server" : "client",
                            static_cast<int>(channel->Peer().pid), text.c_str()));
}

// ---- SocketFd

SocketFd::~SocketFd() { CloseNow(); }

int SocketFd::Acquire() noexcept {
    if (state_.fetch_add(1, std::memory_order_acquire) & kShut) {
        Release();
        return -1;
    }
    return fd_;
}

void SocketFd::Release() noexcept {
    if (state_.fetch_sub(1, std::memory_order_acq_rel) - 1 == kShut) CloseNow();
}

void SocketFd::Shutdown() noexcept {
    // Counted as a use, so that the descriptor cannot be closed under our own shutdown().
    state_.fetch_add(1, std::memory_order_acquire);
    if (!(state_.fetch_or(kShut, std::memory_order_acq_rel) & kShut)) ::shutdown(fd_, SHUT_RDWR);
    Release();
}

void SocketFd::CloseNow() noexcept {
    int fd = toClose_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

// ---- SocketConnection

SocketConnection::SocketConnection(std::vector<std::string> modules, bool isServer, std::shared_ptr<Channel> channel)
    : RegistryConnectionHandler(std::move(modules), isServer, channel->GetLimits()), channel_(std::move(channel)) {}

SocketConnection::~SocketConnection() { channel_->HandlerGone(); }

std::shared_ptr<ByteStream> SocketConnection::Send(std::shared_ptr<ByteStream> request, bool) {
    if (!request) throw IpcError("Send: no request stream");
    return channel_->Call(*request);
}

void SocketConnection::Post(std::shared_ptr<ByteStream> request, bool) {
    if (!request) throw IpcError("Post: no request stream");
    channel_->Post(*request);
}

void SocketConnection::Close() { channel_->Close(); }

bool SocketConnection::IsConnected() const { return channel_->IsOpen(); }

PeerCredentials SocketConnection::GetPeerCredentials() const { return channel_->Peer(); }

void SocketConnection::OnLastProxyRemoved() {
    // This may run inside the registry or a proxy's destructor: only start closing here, and let a
    // service thread drop the stubs.
    if (!IsServer()) channel_->Shutdown("the last proxy of the connection was released", false);
}

// ---- Channel

namespace {

ChannelOptions Sane(ChannelOptions o) {
    o.limits.maxFrameSize = std::min<std::size_t>(o.limits.maxFrameSize, std::numeric_limits<std::uint32_t>::max());
    o.limits.maxCallDepth = std::clamp(o.limits.maxCallDepth, 1, 0xFFFF);
    o.limits.maxOutstandingCalls = std::max(o.limits.maxOutstandingCalls, 1);
    o.limits.frameTimeoutMs = std::max(o.limits.frameTimeoutMs, 1);
    return o;
}

// What an epoll event is about.
constexpr std::uint64_t kSocketEvent = 1;
constexpr std::uint64_t kKickEvent = 2;

}  // namespace

Channel::Channel(int fd, ChannelOptions options)
    : options_(Sane(std::move(options))), rbuf_(new unsigned char[kReadBuffer]), fd_(fd) {
    // Nothing below throws: the descriptor is ours now.
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred) {
        peer_.pid = cred.pid;
        peer_.uid = cred.uid;
        peer_.gid = cred.gid;
    }
    // Without its epoll set the connection cannot be served: Start() then refuses.
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    kick_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event socketEvent{};
    socketEvent.events = EPOLLIN | EPOLLONESHOT;
    socketEvent.data.u64 = kSocketEvent;
    epoll_event kickEvent{};
    kickEvent.events = EPOLLIN | EPOLLONESHOT;
    kickEvent.data.u64 = kKickEvent;
    if (epoll_ < 0 || kick_ < 0 || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &socketEvent) != 0 ||
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, kick_, &kickEvent) != 0) {
        const int error = errno;
        if (epoll_ >= 0) ::close(epoll_);
        if (kick_ >= 0) ::close(kick_);
        epoll_ = kick_ = -1;
        try {
            TraceConnection(1, __FILE__, __LINE__, __func__, this, "cannot make the epoll set: " + ErrnoText(error));
        } catch (const std::bad_alloc&) {
            // Only the report is lost; Start() refuses all the same.
        }
    }
    armed_ = true;
}

Channel::~Channel() {
    // The last reference: every service thread has finished its work, one of them may be this one.
    for (auto& t : threads_) {
        if (!t.joinable()) continue;
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach();
        } else {
            t.join();
        }
    }
    if (epoll_ >= 0) ::close(epoll_);
    if (kick_ >= 0) ::close(kick_);
}

void Channel::Attach(const std::shared_ptr<SocketConnection>& handler) {
    std::lock_guard<std::mutex> lk(mu_);
    handler_ = handler;
    if (options_.isServer && !closed_) keepAlive_ = handler;
}

void Channel::MarkReported(bool reported) noexcept {
    std::lock_guard<std::mutex> lk(mu_);
    reported_ = reported;
}

bool Channel::Start(std::function<bool()> first) {
    std::unique_lock<std::mutex> lk(mu_);
    return epoll_ >= 0 && Spawn(std::move(first));
}

bool Channel::OnOwnThread() const noexcept { return tlsServiceOf == this; }

std::uint32_t Channel::NextCallId() {
    do {
        ++nextCallId_;
    } while (nextCallId_ == 0 || FindCall(nextCallId_) != nullptr);
    return nextCallId_;
}

std::uint64_t Channel::NewChain() noexcept {
    // Bit 0 tells the sides apart, so that chains started by either never collide.
    return (chainCounter_.fetch_add(1, std::memory_order_relaxed) + 1) << 1 | (options_.isServer ? 1u : 0u);
}

void Channel::Place(std::size_t size, bool oneWay, std::uint64_t& chain, int& depth) {
    const Limits& limits = options_.limits;
    if (size > limits.maxFrameSize) {
        throw LimitError(
            Format("request of %zu bytes exceeds the frame limit of %zu bytes", size, limits.maxFrameSize));
    }
    const CallContext* ctx = tlsContext;
    depth = ctx ? ctx->depth + 1 : 1;
    if (depth > limits.maxCallDepth) {
        // A one-way request nests nothing on this side; it goes at the deepest level allowed.
        if (!oneWay) {
            throw LimitError(Format("call at depth %d exceeds the nesting limit of %d", depth, limits.maxCallDepth));
        }
        depth = limits.maxCallDepth;
    }
    chain = ctx && ctx->channel == this ? ctx->chain : NewChain();
}

std::shared_ptr<ByteStream> Channel::Call(const ByteStream& request) {
    Waiter w;
    int& depth = w.depth;
    Place(request.Size(), false, w.chain, depth);
    std::unique_lock<std::mutex> lk(mu_);
    if (closed_) return nullptr;
    if (calls_.size() >= static_cast<std::size_t>(options_.limits.maxOutstandingCalls)) {
        throw LimitError(Format("%zu calls are already waiting for replies on this connection (limit %d)",
                                calls_.size(), options_.limits.maxOutstandingCalls));
    }
    w.callId = NextCallId();
    calls_.push_back(&w);
    struct Guard {
        Channel& c;
        std::unique_lock<std::mutex>& lk;
        Waiter& w;
        ~Guard() {
            if (!lk.owns_lock()) lk.lock();
            c.Leave(lk, w);
        }
    };
    {
        Guard guard{*this, lk, w};
        // Take the token before the request goes out: a reply quicker than us (the peer may run
        // first on this CPU) must not find the socket armed and wake a service thread instead.
        TakeToken(&w);
        lk.unlock();
        // A failed write shuts the connection down, which ends the wait below at once.
        std::vector<unsigned char>* pending = OwnPending();
        WriteFrame(FrameKind::Request, w.callId, w.chain, depth, request.Data(), request.Size(), 0, pending, &w);
        if (pending != nullptr) pending->clear();
        lk.lock();
        WaitLoop(lk, w);
    }
    std::shared_ptr<ByteStream> result = std::move(w.result);
    const bool isError = w.isError;
    lk.unlock();
    if (result && isError) {
        throw RemoteError(std::string(reinterpret_cast<const char*>(result->Data()), result->Size()));
    }
    if (result) result->Seek(0);
    return result;
}

void Channel::Post(const ByteStream& request) {
    std::uint64_t chain = 0;
    int depth = 0;
    Place(request.Size(), true, chain, depth);
    if (!IsOpen()) return;
    if (std::vector<unsigned char>* pending = OwnPending()) {
        AppendFrame(*pending, FrameKind::Request, 0, chain, static_cast<std::uint16_t>(depth), request.Data(),
                    request.Size(), kFlagNoReply);
        if (pending->size() > kMaxPending) {
            WriteBytes(*pending);
            pending->clear();
        }
        return;
    }
    WriteFrame(FrameKind::Request, 0, chain, depth, request.Data(), request.Size(), kFlagNoReply);
}

std::vector<unsigned char>* Channel::OwnPending() const noexcept {
    CallContext* ctx = tlsContext;
    return ctx != nullptr && ctx->channel == this ? &ctx->pending : nullptr;
}

void Channel::WaitLoop(std::unique_lock<std::mutex>& lk, Waiter& w) {
    for (;;) {
        if (closed_) return;
        Frame f;
        if (!w.inbox.empty()) {
            f = std::move(w.inbox.front());
            w.inbox.erase(w.inbox.begin());
        } else if (w.done) {
            return;
        } else if (reader_ == &w || TakeToken(&w)) {
            bool runIt = false;
            ReadAndRoute(lk, &w, &w, f, runIt);
            if (!runIt) continue;
        } else {
            w.parked = true;
            ++parked_;
            w.cv.wait(lk);
            --parked_;
            w.parked = false;
            continue;
        }
        // A request of our own chain: run it here, on the thread its caller is waiting for.
        if (reader_ == &w) {
            if ((f.header.flags & kFlagNoReply) != 0 && parked_ == 0) {
                // A release: short, and our reply is likely right behind it, so we come back for
                // the token instead of arming the socket for the service threads.
                reader_ = nullptr;
            } else {
                PassToken();
            }
        }
        lk.unlock();
        RunRequest(f, &w);
        f = Frame{};
        lk.lock();
    }
}

void Channel::Leave(std::unique_lock<std::mutex>& lk, Waiter& w) {
    calls_.erase(std::find(calls_.begin(), calls_.end(), &w));
    Waiter* next = InnermostOf(w.chain);
    if (!w.inbox.empty() && !closed_) {
        // Requests of the chain that nobody ran yet: whoever waits on the chain next, or the pool.
        for (auto& f : w.inbox) {
            if (next != nullptr) {
                next->inbox.push_back(std::move(f));
            } else {
                queue_.push_back(std::move(f));
            }
        }
        w.inbox.clear();
        if (next != nullptr) {
            next->cv.notify_one();
        } else if (running_ < kMaxRunning) {
            WakeRunner();
        }
    }
    // Frames already buffered cost no system call: route them before the token goes, so that a
    // reply among them reaches its caller directly.
    while (reader_ == &w && !closed_ && FrameBuffered()) {
        Frame run;
        bool runIt = false;
        ReadAndRoute(lk, &w, &w, run, runIt);
    }
    // Ours, or left free by a caller that ran a release of its chain: someone must read.
    if (reader_ == &w || (reader_ == nullptr && !armed_)) PassToken();
}

void Channel::ServiceMain(const std::function<bool()>& first) {
    tlsServiceOf = this;
    bool serve = true;
    if (first) {
        try {
            serve = first();
        } catch (const std::exception& e) {
            TraceConnection(1, __FILE__, __LINE__, __func__, this, std::string("handshake failed: ") + e.what());
            serve = false;
        }
    }
    std::unique_lock<std::mutex> lk(mu_);
    --idle_;  // counted from its start, so that nobody starts another one meanwhile
    if (!serve) ShutdownLocked("the handshake did not complete", false);
    ServiceLoop(lk);
    --threadCount_;
    const bool clean = !cleanupClaimed_;
    cleanupClaimed_ = true;
    lk.unlock();
    // A request still running when the stubs are dropped keeps none it makes afterwards: the
    // registry is closed.
    if (clean) Cleanup();
    tlsServiceOf = nullptr;
}

void Channel::ServiceLoop(std::unique_lock<std::mutex>& lk) {
    const char tag = 0;
    const void* const me = &tag;  // this thread, when it holds the token
    bool socketFired = false;
    for (;;) {
        if (closed_) {
            if (reader_ == me) reader_ = nullptr;
            return;
        }
        if (reader_ == me) {
            Frame f;
            bool runIt = false;
            const ReadStatus st = ReadAndRoute(lk, me, nullptr, f, runIt);
            if (runIt) {
                lk.unlock();
                RunRequest(f);
                f = Frame{};
                lk.lock();
                --running_;
            } else if (reader_ == me && (st == ReadStatus::Nothing || (parked_ != 0 && !FrameBuffered()))) {
                // Nothing more for now, or a caller would rather read its own reply. This thread
                // goes back to the epoll set itself.
                PassToken(true);
            }
            continue;
        }
        if (!queue_.empty() && running_ < kMaxRunning) {
            Frame f = std::move(queue_.front());
            queue_.pop_front();
            ++running_;
            if (socketFired) {
                // The socket fired for this thread too, which disarmed it: someone else must
                // watch it while the queued request runs, or the peer's next frame waits for it.
                socketFired = false;
                if (reader_ == nullptr && armed_) Arm();
            }
            // This thread may have been woken for more than one piece of work.
            if ((!queue_.empty() && running_ < kMaxRunning) || (reader_ == nullptr && armed_ && rpos_ != rend_)) {
                WakeRunner();
            }
            lk.unlock();
            RunRequest(f);
            f = Frame{};
            lk.lock();
            --running_;
            continue;
        }
        if (reader_ == nullptr && (!armed_ || socketFired || rpos_ != rend_)) {
            // Free; or armed, and either the socket fired for this thread (which disarmed it) or
            // frames are buffered where epoll cannot see them.
            if (socketFired) armed_ = false;
            TakeToken(me);
            socketFired = false;
            continue;
        }
        socketFired = false;
        ++idle_;
        lk.unlock();
        epoll_event events[2];
        const int n = ::epoll_wait(epoll_, events, 2, -1);
        lk.lock();
        --idle_;
        if (closed_) continue;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kSocketEvent) {
                socketFired = true;
            } else {
                std::uint64_t count;
                while (::read(kick_, &count, sizeof count) < 0 && errno == EINTR) {
                }
                kickPending_ = false;
            }
        }
    }
}

Channel::ReadStatus Channel::ReadAndRoute(std::unique_lock<std::mutex>& lk, const void* me, Waiter* waiter,
                                          Frame& run, bool& runIt) {
    lk.unlock();
    Frame f;
    std::string why;
    bool fault = false;
    const ReadStatus st = ReadFrame(f, waiter != nullptr, why, fault);
    lk.lock();
    if (st == ReadStatus::Nothing) return st;
    if (st == ReadStatus::Failed) {
        ShutdownLocked(why, fault);
        return st;
    }
    std::string reject;
    switch (RouteFrame(me, waiter, f, reject)) {
    case Route::Done: return st;
    case Route::RunIt:
        run = std::move(f);
        runIt = true;
        return st;
    case Route::Reject: break;
    }
    if ((f.header.flags & kFlagNoReply) != 0) {
        TraceConnection(1, __FILE__, __LINE__, __func__, this, "a one-way request was refused: " + reject);
        return st;
    }
    lk.unlock();
    WriteFrame(FrameKind::Error, f.header.callId, f.header.chain, f.header.depth, reject.data(), reject.size(), 0,
               nullptr, me);
    lk.lock();
    return st;
}

Channel::Route Channel::RouteFrame(const void* me, Waiter* waiter, Frame& f, std::string& reject) {
    const FrameHeader& h = f.header;
    switch (static_cast<FrameKind>(h.kind)) {
    case FrameKind::Reply:
    case FrameKind::Error: {
        Waiter* w = FindCall(h.callId);
        if (w == nullptr || w->done) {
            ShutdownLocked(Format("%s for call %u, which nobody waits for", KindName(h.kind), h.callId), true);
            return Route::Done;
        }
        w->done = true;
        w->isError = h.kind == static_cast<std::uint8_t>(FrameKind::Error);
        w->result = std::move(f.payload);
        if (w != waiter) w->cv.notify_one();
        return Route::Done;
    }
    case FrameKind::Request: {
        if (h.depth < 1 || h.depth > options_.limits.maxCallDepth) {
            reject = Format("call at depth %u exceeds the nesting limit of %d", static_cast<unsigned>(h.depth),
                            options_.limits.maxCallDepth);
            return Route::Reject;
        }
        Waiter* w = InnermostOf(h.chain);
        if (w != nullptr && w == waiter) return Route::RunIt;  // the reading caller runs it next
        // A one-way request (a release) cannot be refused without leaking what it releases, so a
        // burst of them may go past the limit, though not without bound.
        const std::size_t limit = static_cast<std::size_t>(options_.limits.maxOutstandingCalls) *
                                  ((h.flags & kFlagNoReply) != 0 ? static_cast<std::size_t>(kOneWayAllowance) : 1);
        if (Unfinished() >= limit) {
            reject = Format("too many calls outstanding on this connection (limit %d)",
                            options_.limits.maxOutstandingCalls);
            return Route::Reject;
        }
        if (w != nullptr) {
            w->inbox.push_back(std::move(f));
            w->cv.notify_one();
            return Route::Done;
        }
        if (waiter == nullptr && queue_.empty() && running_ < kMaxRunning) {
            // Run it on this service thread; the socket goes back to the others meanwhile.
            ++running_;
            if (reader_ == me) PassToken();
            return Route::RunIt;
        }
        queue_.push_back(std::move(f));
        if (running_ < kMaxRunning) WakeRunner();
        return Route::Done;
    }
    case FrameKind::Hello:
    case FrameKind::HelloAck: break;
    }
    ShutdownLocked(Format("unexpected %s frame on an open connection", KindName(h.kind)), true);
    return Route::Done;
}

bool Channel::WaitForBytes(int fd, std::string& why) {
    pollfd p{fd, POLLIN, 0};
    int r;
    while ((r = ::poll(&p, 1, options_.limits.frameTimeoutMs)) < 0 && errno == EINTR) {
    }
    if (r > 0) return true;
    why = r == 0 ? Format("the peer stalled inside a frame for %d ms", options_.limits.frameTimeoutMs)
                 : "waiting for the rest of a frame failed: " + ErrnoText(errno);
    return false;
}

Channel::ReadStatus Channel::ReadFrame(Frame& f, bool mayBlock, std::string& why, bool& fault) {
    FdUse use(fd_);
    const int fd = use.fd();
    if (fd < 0) {
        why = "closed";
        return ReadStatus::Failed;
    }
    // Until the first byte of the frame has come, a caller waits as long as its call takes; a
    // service thread does not wait at all, since its wake-up may have been for data already taken.
    // Inside a frame nobody waits longer than the frame timeout.
    bool started = rpos_ != rend_;
    while (rend_ - rpos_ < kHeaderSize) {
        if (rpos_ > 0) {
            std::memmove(rbuf_.get(), rbuf_.get() + rpos_, rend_ - rpos_);
            rend_ -= rpos_;
            rpos_ = 0;
        }
        const int flags = !started && mayBlock ? 0 : MSG_DONTWAIT;
        ssize_t n = ::recv(fd, rbuf_.get() + rend_, kReadBuffer - rend_, flags);
        if (n > 0) {
            rend_ += static_cast<std::size_t>(n);
            started = true;
            continue;
        }
        if (n == 0) {
            fault = started;
            why = fault ? "the peer closed the connection inside a frame header" : "the peer closed the connection";
            return ReadStatus::Failed;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!started) return ReadStatus::Nothing;
            if (WaitForBytes(fd, why)) continue;
            fault = true;
            return ReadStatus::Failed;
        }
        fault = errno != ECONNRESET;
        why = "reading failed: " + ErrnoText(errno);
        return ReadStatus::Failed;
    }
    f.header = DecodeHeader(rbuf_.get() + rpos_);
    why = CheckHeader(f.header, options_.limits.maxFrameSize);
    if (!why.empty()) {
        fault = true;
        return ReadStatus::Failed;
    }
    rpos_ += kHeaderSize;
    const std::size_t len = f.header.length;
    unsigned char* p = nullptr;
    try {
        f.payload = std::make_shared<ByteStream>(len);
        if (len != 0) p = f.payload->Extend(len);
    } catch (const std::exception& e) {
        fault = false;
        why = Format("cannot take a frame of %zu bytes: %s", len, e.what());
        return ReadStatus::Failed;
    }
    std::size_t got = std::min(len, rend_ - rpos_);
    if (got != 0) std::memcpy(p, rbuf_.get() + rpos_, got);
    rpos_ += got;
    if (rpos_ == rend_) rpos_ = rend_ = 0;
    while (got < len) {
        const std::size_t need = len - got;
        ssize_t n;
        if (need >= kReadBuffer / 2) {
            // Large: straight into the message.
            n = ::recv(fd, p + got, need, MSG_DONTWAIT);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
                continue;
            }
        } else {
            // Small: through the buffer, which may pick up the next frames on the way (empty here).
            n = ::recv(fd, rbuf_.get(), kReadBuffer, MSG_DONTWAIT);
            if (n > 0) {
                const std::size_t take = std::min(need, static_cast<std::size_t>(n));
                std::memcpy(p + got, rbuf_.get(), take);
                got += take;
                rpos_ = take;
                rend_ = static_cast<std::size_t>(n);
                if (rpos_ == rend_) rpos_ = rend_ = 0;
                continue;
            }
        }
        if (n == 0) {
            fault = true;
            why = "the peer closed the connection inside a frame";
            return ReadStatus::Failed;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (WaitForBytes(fd, why)) continue;
            fault = true;
            return ReadStatus::Failed;
        }
        fault = errno != ECONNRESET;
        why = "reading failed: " + ErrnoText(errno);
        return ReadStatus::Failed;
    }
    return ReadStatus::Got;
}

void Channel::RunRequest(Frame& f, Waiter* caller) noexcept {
    const bool oneWay = (f.header.flags & kFlagNoReply) != 0;
    std::string error;
    std::shared_ptr<ByteStream> reply;
    std::shared_ptr<SocketConnection> handler;
    // The peer says how deep the request is, but a callback runs on top of our own waiting call:
    // counting from that call keeps a peer that understates the depth from growing our stack.
    const int depth = caller != nullptr ? std::max<int>(f.header.depth, caller->depth + 1) : f.header.depth;
    ContextScope scope(this, f.header.chain, depth);
    try {
        handler = handler_.lock();
        auto receiver = options_.receiver.lock();
        if (!handler) {
            error = "the connection is closing";
        } else if (!receiver) {
            error = "nothing receives requests on this connection";
        } else {
            reply = receiver->Receive(std::move(f.payload), handler);
            if (!reply) {
                error = "the request was not handled (no reply)";
            } else if (reply->Size() > options_.limits.maxFrameSize && !oneWay) {
                error = Format("reply of %zu bytes exceeds the frame limit of %zu bytes", reply->Size(),
                               options_.limits.maxFrameSize);
                reply.reset();
            }
        }
    } catch (const std::exception& e) {
        error = e.what();
        if (error.empty()) error = "the request failed";
    } catch (...) {
        error = "the request failed with an exception of unknown type";
    }
    if (caller != nullptr) {
        // A request of the chain `caller` waits in: the answer lets the peer go on, and its next
        // frame is most likely our reply, so take the token back before the answer goes out.
        std::lock_guard<std::mutex> lk(mu_);
        if (!closed_) TakeToken(caller);
    }
    if (oneWay) {
        // Nobody waits for the outcome: a failure is this side's to tell.
        if (!error.empty()) TraceConnection(1, __FILE__, __LINE__, __func__, this, "a one-way request failed: " + error);
        WriteBytes(scope.Pending(), caller);
    } else if (error.empty()) {
        WriteFrame(FrameKind::Reply, f.header.callId, f.header.chain, f.header.depth, reply->Data(), reply->Size(), 0,
                   &scope.Pending(), caller);
    } else {
        if (error.size() > std::min(kMaxErrorText, options_.limits.maxFrameSize)) {
            error.resize(std::min(kMaxErrorText, options_.limits.maxFrameSize));
        }
        WriteFrame(FrameKind::Error, f.header.callId, f.header.chain, f.header.depth, error.data(), error.size(), 0,
                   &scope.Pending(), caller);
    }
    scope.Pending().clear();
    reply.reset();
    // Possibly the last reference to the handler: only after the reply went out.
    handler.reset();
    // Whatever was posted while letting go of the above goes out on its own.
    WriteBytes(scope.Pending(), caller);
}

template <class Send>
bool Channel::WriteOut(const void* holder, Send send) {
    std::string why;
    {
        FdUse use(fd_);
        if (use.fd() < 0) return false;
        std::unique_lock<std::mutex> wl(writeMu_, std::defer_lock);
        if (holder != nullptr && !wl.try_lock()) {
            LetGoOfToken(holder);
            holder = nullptr;
        }
        if (!wl.owns_lock()) wl.lock();
        const BeforeWaiting letGo = [this, holder] { LetGoOfToken(holder); };
        if (send(use.fd(), why, holder != nullptr ? &letGo : nullptr)) return true;
    }
    Shutdown(why, false);
    return false;
}

void Channel::LetGoOfToken(const void* holder) {
    std::lock_guard<std::mutex> lk(mu_);
    if (reader_ == holder) PassToken();
}

bool Channel::WriteFrame(FrameKind kind, std::uint32_t callId, std::uint64_t chain, int depth, const void* data,
                         std::size_t size, std::uint8_t flags, const std::vector<unsigned char>* before,
                         const void* holder) {
    return WriteOut(holder, [&](int fd, std::string& why, const BeforeWaiting* beforeWaiting) {
        return WriteFrameTo(fd, kind, callId, chain, static_cast<std::uint16_t>(depth), data, size, why, flags, before,
                            beforeWaiting);
    });
}

bool Channel::WriteBytes(const std::vector<unsigned char>& frames, const void* holder) {
    if (frames.empty()) return true;
    return WriteOut(holder, [&](int fd, std::string& why, const BeforeWaiting* beforeWaiting) {
        return WriteBytesTo(fd, frames, why, beforeWaiting);
    });
}

// ---- the read token and the service threads (all with mu_ held)

bool Channel::TakeToken(const void* taker) {
    if (reader_ != nullptr) return false;
    if (armed_) {
        armed_ = false;
        EpollSet(fd_.Number(), EPOLLONESHOT);
    }
    reader_ = taker;
    return true;
}

void Channel::PassToken(bool goingIdle) {
    reader_ = nullptr;
    if (closed_) return;
    // A caller waiting for its reply is the best reader: the reply then wakes nobody else.
    if (Waiter* w = ParkedReader()) {
        reader_ = w;
        w->cv.notify_one();
        return;
    }
    Arm(goingIdle);
}

void Channel::Arm(bool goingIdle) {
    armed_ = true;
    EpollSet(fd_.Number(), EPOLLIN | EPOLLONESHOT);
    // Frames already buffered are invisible to epoll: wake a service thread for them.
    if (rpos_ != rend_) Kick();
    // Someone must be waiting for the socket (or the kick) to fire.
    if (idle_ == 0 && !goingIdle) Spawn();
}

void Channel::Kick() {
    if (kickPending_ || kick_ < 0) return;
    kickPending_ = true;
    const std::uint64_t one = 1;
    while (::write(kick_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    EpollSet(kick_, EPOLLIN | EPOLLONESHOT);
}

void Channel::WakeRunner() {
    if (idle_ > 0) {
        Kick();
    } else {
        Spawn();
    }
}

Channel::Waiter* Channel::ParkedReader() const {
    if (parked_ == 0) return nullptr;
    for (Waiter* w : calls_) {
        if (w->parked && !w->done && w->inbox.empty()) return w;
    }
    return nullptr;
}

Channel::Waiter* Channel::FindCall(std::uint32_t callId) const {
    for (Waiter* w : calls_) {
        if (w->callId == callId) return w;
    }
    return nullptr;
}

Channel::Waiter* Channel::InnermostOf(std::uint64_t chain) const {
    // Calls are kept in the order they began, and a nested call begins after its outer ones.
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
        if ((*it)->chain == chain) return *it;
    }
    return nullptr;
}

std::size_t Channel::Unfinished() const {
    std::size_t n = queue_.size() + static_cast<std::size_t>(running_);
    for (const Waiter* w : calls_) n += w->inbox.size();
    return n;
}

bool Channel::FrameBuffered() const {
    if (rend_ - rpos_ < kHeaderSize) return false;
    return LoadLe32(rbuf_.get() + rpos_) <= rend_ - rpos_ - kHeaderSize;
}

void Channel::EpollSet(int fd, std::uint32_t events) noexcept {
    if (epoll_ < 0 || fd < 0) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = fd == kick_ ? kKickEvent : kSocketEvent;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
}

bool Channel::Spawn(std::function<bool()> first) {
    if (closed_ || threadCount_ >= kMaxServiceThreads) return false;
    try {
        auto self = shared_from_this();
        threads_.emplace_back([self, first = std::move(first)] { self->ServiceMain(first); });
    } catch (const std::exception& e) {
        TraceConnection(1, __FILE__, __LINE__, __func__, this, std::string("cannot start a thread: ") + e.what());
        return false;
    }
    ++threadCount_;
    ++idle_;
    return true;
}

// ---- closing

void Channel::Shutdown(const std::string& reason, bool fault) {
    std::lock_guard<std::mutex> lk(mu_);
    ShutdownLocked(reason, fault);
}

bool Channel::ShutdownLocked(const std::string& reason, bool fault) {
    if (closed_) return false;
    closed_ = true;
    open_.store(false, std::memory_order_release);
    TraceConnection(fault ? 1 : 2, __FILE__, __LINE__, __func__, this, "closing: " + reason);
    // The kick stays readable and level-triggered from now on: every service thread in epoll_wait
    // wakes (each wake-up passes it on to the next) and none waits again.
    if (kick_ >= 0) {
        const std::uint64_t one = 1;
        while (::write(kick_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        kickPending_ = true;
        EpollSet(kick_, EPOLLIN);
    }
    fd_.Shutdown();  // wakes whoever is in poll(), recv() or send()
    for (Waiter* w : calls_) w->cv.notify_one();
    return true;
}

void Channel::Cleanup() {
    std::shared_ptr<SocketConnection> h = handler_.lock();
    if (h) {
        try {
            h->Registry().Close();
        } catch (const std::exception& e) {
            TraceConnection(1, __FILE__, __LINE__, __func__, this, std::string("dropping the stubs failed: ") + e.what());
        }
    }
    bool report;
    std::shared_ptr<SocketConnection> keep;
    {
        std::lock_guard<std::mutex> lk(mu_);
        report = reported_;
        keep = std::move(keepAlive_);
    }
    if (h && report && options_.disconnected) {
        try {
            options_.disconnected(h);
        } catch (const std::exception& e) {
            TraceConnection(1, __FILE__, __LINE__, __func__, this, std::string("the disconnect hook failed: ") + e.what());
        } catch (...) {
            TraceConnection(1, __FILE__, __LINE__, __func__, this, "the disconnect hook failed");
        }
    }
    keep.reset();
    h.reset();
}

void Channel::Close() {
    bool clean;
    {
        std::lock_guard<std::mutex> lk(mu_);
        ShutdownLocked("closed by this side", false);
        clean = !cleanupClaimed_;
        cleanupClaimed_ = true;
    }
    if (clean) Cleanup();
    if (!OnOwnThread()) JoinThreads();
}

void Channel::HandlerGone() {
    Shutdown("the connection's handler was released", false);
    if (!OnOwnThread()) JoinThreads();
}

void Channel::JoinThreads() {
    std::lock_guard<std::mutex> j(joinMu_);
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lk(mu_);
        threads.swap(threads_);
    }
    for (auto& t : threads) {
        if (t.joinable()) t.join();
    }
}

}  // namespace zel::proglibs::ipc2::socket
