#include "endpoint.h"

#include <algorithm>

#include "calllog.h"
#include "ipc2/errors.h"
#include "ipc2/requestheader.h"
#include "running.h"
#include "trace/trace.h"

namespace zel::proglibs::ipc2 {

Link::~Link() = default;

namespace {

void Trace(const Endpoint& endpoint, const std::string& text) {
    if (!trace_enabled(1)) return;
    dus_trc_log(__FILE__, __LINE__, "Endpoint", "ipc2",
                dus_trc_msg("connection (%s side, peer pid %d): %s", endpoint.IsServer() ? "server" : "client",
                            static_cast<int>(endpoint.GetPeerCredentials().pid), text.c_str()));
}

}  // namespace

Endpoint::Endpoint(Options options, std::shared_ptr<Link> link, std::shared_ptr<Limiter> limiter)
    : RegistryConnectionHandler(std::move(options.modules), options.isServer, options.limits),
      limiter_(limiter ? std::move(limiter) : std::make_shared<Limiter>(options.limits, std::move(options.serverName))),
      link_(std::move(link)),
      timeoutMs_(std::max(options.limits.callTimeoutMs, 1)),
      timesCalls_(options.timesCalls) {}

Endpoint::~Endpoint() { link_->Close("the connection's handler was released"); }

void Endpoint::Bind(const std::shared_ptr<Connector>& connector, bool toldOfStart) {
    connector_ = connector;
    toldOfStart_.store(toldOfStart, std::memory_order_release);
}

void Endpoint::LogOutgoing(const ByteStream& request, bool sendFlag) {
    if (auto connector = connector_.lock()) {
        connector->LogCall(*this, CallDirection::Outgoing, request, sendFlag);
    } else {
        detail::WriteCallLog(*this, CallDirection::Outgoing, request, sendFlag);
    }
}

void Endpoint::SetCallTimeout(std::chrono::milliseconds timeout) {
    timeoutMs_.store(std::max<std::int64_t>(timeout.count(), 1), std::memory_order_relaxed);
    timesCalls_.store(true, std::memory_order_relaxed);
}

Clock::time_point Endpoint::DeadlineOf(const ByteStream& request, Clock::time_point& now) const {
    if (RunningRequest::Cancelled())
        throw DeadlineError(PeekedHeader::Of(request).Describe() + " was not made: the request it serves was given up on");
    const Clock::time_point bound = std::min(CallDeadline::Current(), RunningRequest::Deadline());
    const bool timed = timesCalls_.load(std::memory_order_relaxed);
    if (!timed && bound == Clock::time_point::max()) return bound;
    now = Clock::now();
    const Clock::time_point deadline =
        timed ? std::min(bound, now + std::chrono::milliseconds(timeoutMs_.load(std::memory_order_relaxed))) : bound;
    if (deadline <= now) ThrowExpired(request, now, deadline);
    return deadline;
}

void Endpoint::ThrowExpired(const ByteStream& request, Clock::time_point made, Clock::time_point deadline) const {
    const auto allowed = std::chrono::round<std::chrono::milliseconds>(deadline - made).count();
    throw DeadlineError(PeekedHeader::Of(request).Describe() + " on the connection to '" + limiter_->ServerName() +
                        "' got no answer within its deadline of " + std::to_string(std::max<long long>(allowed, 0)) +
                        " ms");
}

std::shared_ptr<ByteStream> Endpoint::Send(std::shared_ptr<ByteStream> request, bool sendFlag) {
    if (!request) throw StreamError("no request to send");
    if (!link_->IsOpen()) return nullptr;
    const int depth = limiter_->PlaceOutgoing(*request, false);
    Clock::time_point made{};
    const Clock::time_point deadline = DeadlineOf(*request, made);
    OpenCall open(*limiter_, *request, false);
    LogOutgoing(*request, sendFlag);
    Outcome outcome = link_->Exchange(request, depth, deadline);
    switch (outcome.kind) {
    case Outcome::Kind::Reply: break;
    case Outcome::Kind::Failed: throw RemoteError(outcome.Text());
    case Outcome::Kind::OverLimit: throw LimitError(outcome.Text());
    case Outcome::Kind::Lost: return nullptr;
    case Outcome::Kind::Expired: ThrowExpired(*request, made, deadline);
    }
    outcome.payload->Seek(0);
    return std::move(outcome.payload);
}

void Endpoint::Post(std::shared_ptr<ByteStream> request, bool sendFlag) {
    if (!request) throw StreamError("no request to send");
    if (!link_->IsOpen()) return;
    const int depth = limiter_->PlaceOutgoing(*request, true);
    OpenCall open(*limiter_, *request, true);
    LogOutgoing(*request, sendFlag);
    link_->Post(request, depth);
}

Outcome Endpoint::Serve(const std::shared_ptr<Endpoint>& self, std::shared_ptr<ByteStream> request, int depth,
                        bool oneWay, Clock::time_point deadline, const std::atomic<bool>* cancelled) noexcept {
    if (oneWay) depth = std::clamp(depth, 1, limiter_->Get().maxCallDepth);
    const PeekedHeader call = PeekedHeader::Of(*request, request->Position());
    try {
        RunningRequest running(*this, depth, deadline, cancelled);
        const std::shared_ptr<Connector> connector = connector_.lock();
        std::shared_ptr<ByteStream> reply = connector ? connector->Receive(std::move(request), self)
                                                      : detail::DispatchToStub(nullptr, request, self);
        if (!reply) return Unanswered(oneWay, Outcome::Failure("no reply for " + call.Describe()));
        if (!limiter_->Fits(reply->Size()))
            return Unanswered(oneWay, Outcome::Refusal(limiter_->ReplyText(call, reply->Size())));
        return Outcome::Answer(std::move(reply));
    } catch (const std::exception& e) {
        return Unanswered(oneWay, Outcome::Failure(call.Describe() + " failed: " + e.what()));
    } catch (...) {
        return Unanswered(oneWay, Outcome::Failure(call.Describe() + " failed with an unknown exception"));
    }
}

Outcome Endpoint::Unanswered(bool oneWay, Outcome outcome) const noexcept {
    if (oneWay) Trace(*this, "a one-way request failed: " + outcome.Text());
    return outcome;
}

void Endpoint::Close() { link_->Close("closed by this side"); }

bool Endpoint::IsConnected() const { return link_->IsOpen(); }

PeerCredentials Endpoint::GetPeerCredentials() const { return link_->Peer(); }

void Endpoint::OnLastProxyRemoved() {
    // This runs inside the registry or a proxy's destructor: the link only starts ending here.
    if (!IsServer()) link_->Shutdown("the last proxy of the connection was released");
}

void Endpoint::OnDisconnect(std::function<void()> callback) {
    if (!callback) return;
    {
        MutexLock lock(callbacksMu_);
        if (!callbacksRan_) {
            onDisconnect_.push_back(std::move(callback));
            return;
        }
    }
    callback();
}

void Endpoint::Ended() noexcept {
    if (ended_.exchange(true, std::memory_order_acq_rel)) return;
    try {
        Registry().Close();
    } catch (const std::exception& e) {
        Trace(*this, std::string("dropping the stubs failed: ") + e.what());
    }
    TellConnector();
    RunDisconnectCallbacks();
}

void Endpoint::TellConnector() noexcept {
    if (!toldOfStart_.load(std::memory_order_acquire)) return;
    const std::shared_ptr<Connector> connector = connector_.lock();
    if (!connector) return;
    // The end runs in destructors and on the link's threads: a connector's failure is reported, not
    // thrown.
    try {
        connector->Disconnected(std::static_pointer_cast<ConnectionHandler>(shared_from_this()));
    } catch (const std::exception& e) {
        Trace(*this, std::string("Disconnected failed: ") + e.what());
    } catch (...) {
        Trace(*this, "Disconnected failed");
    }
}

void Endpoint::RunDisconnectCallbacks() noexcept {
    std::vector<std::function<void()>> callbacks;
    {
        MutexLock lock(callbacksMu_);
        callbacksRan_ = true;
        callbacks.swap(onDisconnect_);
    }
    for (auto& callback : callbacks) {
        try {
            callback();
        } catch (const std::exception& e) {
            Trace(*this, std::string("a disconnect callback failed: ") + e.what());
        } catch (...) {
            Trace(*this, "a disconnect callback failed");
        }
    }
}

namespace detail {

std::shared_ptr<ByteStream> DispatchToStub(Connector* logger, const std::shared_ptr<ByteStream>& request,
                                           const std::shared_ptr<ConnectionHandler>& handler) {
    if (!request || !handler) throw IpcError("a request needs a message and a connection");
    const std::size_t start = request->Position();
    const int objectId = ReadLe32(*request);
    std::shared_ptr<IStub> stub = handler->GetStub(objectId);
    if (!stub) throw RemoteError("no object with id " + std::to_string(objectId) + " on this connection");
    // A request too short to name its method is logged without payload; the stub rejects it.
    const PeekedHeader call = PeekedHeader::Of(*request, start);
    const bool sendFlag = call.complete && stub->GetSendFlag(static_cast<int>(call.methodId));
    if (logger) {
        logger->LogCall(*handler, CallDirection::Incoming, *request, sendFlag);
    } else {
        WriteCallLog(*handler, CallDirection::Incoming, *request, sendFlag);
    }
    return stub->Receive(request, handler);
}

}  // namespace detail
}  // namespace zel::proglibs::ipc2
