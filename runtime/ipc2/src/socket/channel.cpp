#include "channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

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
};

thread_local CallContext* tlsContext = nullptr;
// Set on a connection's own service threads: they must not wait for themselves.
thread_local const Channel* tlsServiceOf = nullptr;

class ContextScope {
public:
    ContextScope(const Channel* channel, std::uint64_t chain, int depth) : c_{channel, chain, depth, tlsContext} {
        tlsContext = &c_;
    }
    ~ContextScope() { tlsContext = c_.outer; }
    ContextScope(const ContextScope&) = delete;
    ContextScope& operator=(const ContextScope&) = delete;

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
    return o;
}

}  // namespace

Channel::Channel(int fd, ChannelOptions options)
    : options_(Sane(std::move(options))), fd_(fd), rbuf_(new unsigned char[kReadBuffer]) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred) {
        peer_.pid = cred.pid;
        peer_.uid = cred.uid;
        peer_.gid = cred.gid;
    }
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
    const bool reader = !first;
    try {
        auto self = shared_from_this();
        threads_.emplace_back([self, reader, first = std::move(first)] { self->ServiceMain(reader, first); });
    } catch (const std::exception& e) {
        TraceConnection(1, __FILE__, __LINE__, __func__, this, std::string("cannot start a thread: ") + e.what());
        return false;
    }
    ++threadCount_;
    if (reader) reader_ = &pendingReader_;
    return true;
}

bool Channel::OnOwnThread() const noexcept { return tlsServiceOf == this; }

std::uint32_t Channel::NextCallId() {
    do {
        ++nextCallId_;
    } while (nextCallId_ == 0 || calls_.count(nextCallId_) != 0);
    return nextCallId_;
}

std::uint64_t Channel::NewChain() noexcept {
    // Bit 0 tells the sides apart, so that chains started by either never collide.
    return (chainCounter_.fetch_add(1, std::memory_order_relaxed) + 1) << 1 | (options_.isServer ? 1u : 0u);
}

std::shared_ptr<ByteStream> Channel::Call(const ByteStream& request) {
    const Limits& limits = options_.limits;
    if (request.Size() > limits.maxFrameSize) {
        throw LimitError(Format("request of %zu bytes exceeds the frame limit of %zu bytes", request.Size(),
                                limits.maxFrameSize));
    }
    const CallContext* ctx = tlsContext;
    const int depth = ctx ? ctx->depth + 1 : 1;
    if (depth > limits.maxCallDepth) {
        throw LimitError(Format("call at depth %d exceeds the nesting limit of %d", depth, limits.maxCallDepth));
    }
    const std::uint64_t chain = ctx && ctx->channel == this ? ctx->chain : NewChain();

    Waiter w;
    w.chain = chain;
    std::unique_lock<std::mutex> lk(mu_);
    if (closed_) return nullptr;
    if (calls_.size() >= static_cast<std::size_t>(limits.maxOutstandingCalls)) {
        throw LimitError(Format("%zu calls are already waiting for replies on this connection (limit %d)",
                                calls_.size(), limits.maxOutstandingCalls));
    }
    w.callId = NextCallId();
    calls_.emplace(w.callId, &w);
    auto slot = chains_.try_emplace(chain, &w);
    if (!slot.second) {
        w.outer = slot.first->second;
        slot.first->second = &w;
    }
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
        lk.unlock();
        // A failed write shuts the connection down, which ends the wait below at once.
        WriteFrame(FrameKind::Request, w.callId, chain, depth, request.Data(), request.Size());
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

void Channel::WaitLoop(std::unique_lock<std::mutex>& lk, Waiter& w) {
    for (;;) {
        if (closed_) return;
        if (!w.inbox.empty()) {
            // A callback of our own chain: run it here, on the thread its caller is waiting for.
            Frame f = std::move(w.inbox.front());
            w.inbox.pop_front();
            if (reader_ == &w) PassToken(lk);
            lk.unlock();
            RunRequest(f);
            f = Frame{};
            lk.lock();
            continue;
        }
        if (w.done) return;
        if (reader_ == &w || reader_ == nullptr || (reader_->isService && !frameInProgress_)) {
            if (reader_ != &w) {
                if (reader_ != nullptr) Depose(reader_);
                reader_ = &w;
            }
            Frame none;
            Lead(lk, w, none);
            continue;
        }
        w.parked = true;
        w.cv.wait(lk);
        w.parked = false;
    }
}

void Channel::Leave(std::unique_lock<std::mutex>& lk, Waiter& w) {
    calls_.erase(w.callId);
    Waiter* next = nullptr;
    auto it = chains_.find(w.chain);
    if (it != chains_.end()) {
        if (it->second == &w) {
            if (w.outer) {
                it->second = w.outer;
            } else {
                chains_.erase(it);
            }
        } else {
            // Only a peer that reuses chain ids across threads gets here; unlink all the same.
            for (Waiter* x = it->second; x != nullptr; x = x->outer) {
                if (x->outer == &w) {
                    x->outer = w.outer;
                    break;
                }
            }
        }
        auto now = chains_.find(w.chain);
        if (now != chains_.end()) next = now->second;
    }
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
            WakeRunner(lk);
        }
    }
    if (reader_ == &w) PassToken(lk);
}

void Channel::ServiceMain(bool reader, const std::function<bool()>& first) {
    tlsServiceOf = this;
    Service me;
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
    if (reader && reader_ == &pendingReader_) reader_ = &me;
    if (!serve) ShutdownLocked("the handshake did not complete", false);
    ServiceLoop(lk, me);
    LeaveIdle(me);
    if (reader_ == &me) reader_ = nullptr;
    --threadCount_;
    const bool clean = !cleanupClaimed_;
    cleanupClaimed_ = true;
    const bool last = threadCount_ == 0;
    lk.unlock();
    if (clean) Cleanup();
    if (last && !clean) {
        // A request that was still running when the stubs were dropped may have registered more.
        if (auto h = handler_.lock()) h->Registry().Clear();
    }
    tlsServiceOf = nullptr;
}

void Channel::ServiceLoop(std::unique_lock<std::mutex>& lk, Service& me) {
    for (;;) {
        if (closed_) return;
        if (reader_ == &me) {
            LeaveIdle(me);
            Frame f;
            if (Lead(lk, me, f)) {
                lk.unlock();
                RunRequest(f);
                f = Frame{};
                lk.lock();
                --running_;
            }
            continue;
        }
        if (!queue_.empty() && running_ < kMaxRunning) {
            LeaveIdle(me);
            Frame f = std::move(queue_.front());
            queue_.pop_front();
            ++running_;
            lk.unlock();
            RunRequest(f);
            f = Frame{};
            lk.lock();
            --running_;
            continue;
        }
        if (reader_ == nullptr) {
            LeaveIdle(me);
            reader_ = &me;
            continue;
        }
        EnterIdle(me);
        me.parked = true;
        me.cv.wait(lk);
        me.parked = false;
    }
}

bool Channel::Lead(std::unique_lock<std::mutex>& lk, Participant& me, Frame& run) {
    if (rpos_ == rend_) {
        me.polling = true;
        lk.unlock();
        WaitReadable();
        lk.lock();
        me.polling = false;
        // A waiting caller may have taken over meanwhile (only from a service thread).
        if (closed_ || reader_ != &me) return false;
    }
    frameInProgress_ = true;
    lk.unlock();
    Frame f;
    std::string why;
    bool fault = false;
    ReadStatus st = ReadFrame(f, why, fault);
    lk.lock();
    frameInProgress_ = false;
    if (st == ReadStatus::Nothing) return false;
    if (st == ReadStatus::Failed) {
        ShutdownLocked(why, fault);
        return false;
    }
    std::string reject;
    switch (RouteFrame(lk, me, f, reject)) {
    case Route::Done: return false;
    case Route::RunIt: run = std::move(f); return true;
    case Route::Reject: break;
    }
    lk.unlock();
    WriteFrame(FrameKind::Error, f.header.callId, f.header.chain, f.header.depth, reject.data(), reject.size());
    lk.lock();
    return false;
}

Channel::Route Channel::RouteFrame(std::unique_lock<std::mutex>& lk, Participant& me, Frame& f, std::string& reject) {
    const FrameHeader& h = f.header;
    switch (static_cast<FrameKind>(h.kind)) {
    case FrameKind::Reply:
    case FrameKind::Error: {
        auto it = calls_.find(h.callId);
        if (it == calls_.end() || it->second->done) {
            ShutdownLocked(Format("%s for call %u, which nobody waits for", KindName(h.kind), h.callId), true);
            return Route::Done;
        }
        Waiter* w = it->second;
        w->done = true;
        w->isError = h.kind == static_cast<std::uint8_t>(FrameKind::Error);
        w->result = std::move(f.payload);
        if (w != &me) w->cv.notify_one();
        return Route::Done;
    }
    case FrameKind::Request: {
        if (h.depth < 1 || h.depth > options_.limits.maxCallDepth) {
            reject = Format("call at depth %u exceeds the nesting limit of %d", static_cast<unsigned>(h.depth),
                            options_.limits.maxCallDepth);
            return Route::Reject;
        }
        auto it = chains_.find(h.chain);
        if (it != chains_.end()) {
            Waiter* w = it->second;
            w->inbox.push_back(std::move(f));
            if (w != &me) w->cv.notify_one();
            return Route::Done;
        }
        if (queue_.size() + static_cast<std::size_t>(running_) >=
            static_cast<std::size_t>(options_.limits.maxOutstandingCalls)) {
            reject = Format("too many calls outstanding on this connection (limit %d)",
                            options_.limits.maxOutstandingCalls);
            return Route::Reject;
        }
        if (me.isService && queue_.empty() && running_ < kMaxRunning) {
            // Run it on this thread; another one reads meanwhile.
            ++running_;
            PassToken(lk);
            return Route::RunIt;
        }
        queue_.push_back(std::move(f));
        if (running_ < kMaxRunning) WakeRunner(lk);
        return Route::Done;
    }
    case FrameKind::Hello:
    case FrameKind::HelloAck: break;
    }
    ShutdownLocked(Format("unexpected %s frame on an open connection", KindName(h.kind)), true);
    return Route::Done;
}

void Channel::WaitReadable() {
    FdUse use(fd_);
    if (use.fd() < 0) return;
    pollfd p{use.fd(), POLLIN, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
}

Channel::ReadStatus Channel::ReadFrame(Frame& f, std::string& why, bool& fault) {
    FdUse use(fd_);
    const int fd = use.fd();
    if (fd < 0) {
        why = "closed";
        return ReadStatus::Failed;
    }
    // Nothing of the next frame has come yet: the wake may have been for another thread's data,
    // so the first read must not block.
    bool maybeNothing = rpos_ == rend_;
    while (rend_ - rpos_ < kHeaderSize) {
        if (rpos_ > 0) {
            std::memmove(rbuf_.get(), rbuf_.get() + rpos_, rend_ - rpos_);
            rend_ -= rpos_;
            rpos_ = 0;
        }
        ssize_t n = ::recv(fd, rbuf_.get() + rend_, kReadBuffer - rend_, maybeNothing ? MSG_DONTWAIT : 0);
        if (n > 0) {
            rend_ += static_cast<std::size_t>(n);
            maybeNothing = false;
            continue;
        }
        if (n == 0) {
            fault = rend_ != rpos_;
            why = fault ? "the peer closed the connection inside a frame header" : "the peer closed the connection";
            return ReadStatus::Failed;
        }
        if (errno == EINTR) continue;
        if (maybeNothing && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadStatus::Nothing;
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
            n = ::recv(fd, p + got, need, 0);
            if (n > 0) {
                got += static_cast<std::size_t>(n);
                continue;
            }
        } else {
            // Small: through the buffer, which may pick up the next frames on the way (empty here).
            n = ::recv(fd, rbuf_.get(), kReadBuffer, 0);
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
        fault = errno != ECONNRESET;
        why = "reading failed: " + ErrnoText(errno);
        return ReadStatus::Failed;
    }
    return ReadStatus::Got;
}

void Channel::RunRequest(Frame& f) noexcept {
    std::string error;
    std::shared_ptr<ByteStream> reply;
    std::shared_ptr<SocketConnection> handler;
    try {
        ContextScope scope(this, f.header.chain, f.header.depth);
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
            } else if (reply->Size() > options_.limits.maxFrameSize) {
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
    if (error.empty()) {
        WriteFrame(FrameKind::Reply, f.header.callId, f.header.chain, f.header.depth, reply->Data(), reply->Size());
    } else {
        if (error.size() > std::min(kMaxErrorText, options_.limits.maxFrameSize)) {
            error.resize(std::min(kMaxErrorText, options_.limits.maxFrameSize));
        }
        WriteFrame(FrameKind::Error, f.header.callId, f.header.chain, f.header.depth, error.data(), error.size());
    }
    reply.reset();
    // Possibly the last reference to the handler: only after the reply went out.
    handler.reset();
}

bool Channel::WriteFrame(FrameKind kind, std::uint32_t callId, std::uint64_t chain, int depth, const void* data,
                         std::size_t size) {
    std::string why;
    {
        FdUse use(fd_);
        if (use.fd() < 0) return false;
        std::lock_guard<std::mutex> wl(writeMu_);
        if (WriteFrameTo(use.fd(), kind, callId, chain, static_cast<std::uint16_t>(depth), data, size, why)) {
            return true;
        }
    }
    Shutdown(why, false);
    return false;
}

// ---- the read token and the service threads (all with mu_ held)

void Channel::PassToken(std::unique_lock<std::mutex>&) {
    reader_ = nullptr;
    if (closed_) return;
    // A caller waiting for its reply is the best reader: the reply then wakes nobody else.
    for (auto& entry : calls_) {
        Waiter* w = entry.second;
        if (w->parked && !w->done && w->inbox.empty()) {
            reader_ = w;
            w->cv.notify_one();
            return;
        }
    }
    // A service thread still in poll() needs no wake-up, unless a frame is already buffered,
    // which poll() would not see.
    if (Service* s = TakeIdle(rpos_ == rend_)) {
        reader_ = s;
        if (!s->polling) s->cv.notify_one();
        return;
    }
    if (Spawn(true)) return;
    if (threadCount_ == 0 && calls_.empty()) ShutdownLocked("no thread is left to read the connection", true);
}

void Channel::Depose(Participant* holder) {
    if (holder == &pendingReader_) return;
    EnterIdle(*static_cast<Service*>(holder));
}

void Channel::WakeRunner(std::unique_lock<std::mutex>&) {
    if (Service* s = TakeIdle(false)) {
        s->cv.notify_one();
        return;
    }
    Spawn(false);
}

bool Channel::Spawn(bool reader) {
    if (closed_ || threadCount_ >= kMaxServiceThreads) return false;
    try {
        auto self = shared_from_this();
        threads_.emplace_back([self, reader] { self->ServiceMain(reader, {}); });
    } catch (const std::exception& e) {
        TraceConnection(1, __FILE__, __LINE__, __func__, this, std::string("cannot start a thread: ") + e.what());
        return false;
    }
    ++threadCount_;
    if (reader) reader_ = &pendingReader_;
    return true;
}

void Channel::EnterIdle(Service& s) {
    if (s.inIdle) return;
    idle_.push_back(&s);
    s.inIdle = true;
}

void Channel::LeaveIdle(Service& s) {
    if (!s.inIdle) return;
    idle_.erase(std::find(idle_.begin(), idle_.end(), &s));
    s.inIdle = false;
}

Channel::Service* Channel::TakeIdle(bool pollingOk) {
    auto pick = idle_.end();
    for (auto it = idle_.begin(); it != idle_.end(); ++it) {
        if ((*it)->polling) {
            if (pollingOk) {
                pick = it;
                break;
            }
        } else if (pick == idle_.end()) {
            pick = it;
            if (!pollingOk) break;
        }
    }
    if (pick == idle_.end()) return nullptr;
    Service* s = *pick;
    idle_.erase(pick);
    s->inIdle = false;
    return s;
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
    fd_.Shutdown();  // wakes whoever is in poll(), recv() or send()
    for (auto& entry : calls_) entry.second->cv.notify_one();
    for (Service* s : idle_) s->cv.notify_one();
    return true;
}

void Channel::Cleanup() {
    std::shared_ptr<SocketConnection> h = handler_.lock();
    if (h) {
        try {
            h->Registry().Clear();
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
