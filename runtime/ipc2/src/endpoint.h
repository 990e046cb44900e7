// One end of a connection: what a connection means, whichever transport carries it.
//
// The endpoint is the connection handler the binding sees. It checks what it sends against the
// connection's limits (limiter.h), writes the call log both ways, runs each request that arrives
// on the stub of its object id through the connector it is bound to, turns every outcome into the
// same result or exception on both transports, and when its link ends drops its stubs and tells
// the connector. Its link (link.h) only moves requests and outcomes.
//
// Outcomes, as the caller of Send sees them: a reply is returned; a failure on the peer's side (an
// exception in the implementation, an unknown object id, a request that could not be decoded, no
// reply from the stub) throws RemoteError naming the call and the reason; a limit of either side
// throws LimitError; a connection that ended returns null.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ipc2/connector.h"
#include "ipc2/registry.h"
#include "limiter.h"
#include "link.h"
#include "sync.h"

namespace zel::proglibs::ipc2 {

class Endpoint final : public RegistryConnectionHandler {
public:
    struct Options {
        std::vector<std::string> modules;  // the connection's, as agreed (agreement.h)
        bool isServer = false;
        Limits limits;
        std::string serverName;  // whom the connection reaches, for error texts
        // Whether the call timeout bounds every call, or only calls given a deadline otherwise
        // (deadline.h): a link that runs calls on the calling thread cannot be held by its peer.
        bool timesCalls = true;
    };

    // The endpoint on `link`, which it ends when it goes. `limiter`: one shared with the other end
    // (an in-process pair, whose calls are open on both ends at once and counted once); null: its
    // own, made from the options.
    Endpoint(Options options, std::shared_ptr<Link> link, std::shared_ptr<Limiter> limiter = nullptr);
    ~Endpoint() override;

    std::shared_ptr<ByteStream> Send(std::shared_ptr<ByteStream> request, bool sendFlag) override;
    void Post(std::shared_ptr<ByteStream> request, bool sendFlag) override;
    void SetCallTimeout(std::chrono::milliseconds timeout) override;
    void Close() override;
    bool IsConnected() const override;
    void OnDisconnect(std::function<void()> callback) override;
    PeerCredentials GetPeerCredentials() const override;

    // The connector whose Receive runs this end's requests and whose LogCall writes its call log:
    // the client's own, or on a server the one that admitted the connection (served.h). Unbound, or
    // once that connector is gone, the runtime's defaults do both. Set before the link carries a
    // request; `toldOfStart`: the connector was told ClientConnected, so it is told Disconnected.
    void Bind(const std::shared_ptr<Connector>& connector, bool toldOfStart);
    // The connector refused the connection in ClientConnected: it is not told of the end.
    void Unadmit() noexcept { toldOfStart_.store(false, std::memory_order_release); }

    // ---- for the link

    const std::shared_ptr<Limiter>& GetLimiter() const noexcept { return limiter_; }
    // Runs a request that arrived, made at `depth` of its chain, until `deadline`; `cancelled`, when
    // given, is raised if its caller gives up on it first. `self` is this endpoint, as the link
    // holds it. Never throws: a failure is the outcome, and a one-way request's is traced here,
    // since nobody waits for it. Whether the request was counted among the calls open (and is to
    // be counted out after) is the link's affair.
    Outcome Serve(const std::shared_ptr<Endpoint>& self, std::shared_ptr<ByteStream> request, int depth,
                  bool oneWay, Clock::time_point deadline, const std::atomic<bool>* cancelled = nullptr) noexcept;
    // The link has ended: the stubs are dropped (so their implementations are let go), and the
    // connector, if told of the start, is told of the end. Once; further calls do nothing.
    void Ended() noexcept;

protected:
    // A client with no proxy left can never call again: its connection ends, and with it the
    // server's stubs for it.
    void OnLastProxyRemoved() override;

private:
    void LogOutgoing(const ByteStream& request, bool sendFlag);
    // The deadline of a call made now (deadline.h), and when it was made if the clock was read.
    // Throws DeadlineError for a call that would be made past it, or by a request given up on.
    Clock::time_point DeadlineOf(const ByteStream& request, Clock::time_point& now) const;
    [[noreturn]] void ThrowExpired(const ByteStream& request, Clock::time_point made, Clock::time_point deadline) const;
    // A request that got no reply: nobody waits for a one-way request's outcome, so it is traced.
    Outcome Unanswered(bool oneWay, Outcome outcome) const noexcept;
    void TellConnector() noexcept;
    void RunDisconnectCallbacks() noexcept;

    const std::shared_ptr<Limiter> limiter_;
    const std::shared_ptr<Link> link_;
    std::weak_ptr<Connector> connector_;
    std::atomic<std::int64_t> timeoutMs_;
    std::atomic<bool> timesCalls_;
    std::atomic<bool> toldOfStart_{false};
    std::atomic<bool> ended_{false};

    Mutex callbacksMu_;
    std::vector<std::function<void()>> onDisconnect_ ZEL_GUARDED_BY(callbacksMu_);
    bool callbacksRan_ ZEL_GUARDED_BY(callbacksMu_) = false;
};

namespace detail {

// What Connector::Receive does: hands the request (positioned at its object id) to the stub of
// that id, after `logger`'s incoming call log line (the default line when null). Throws
// RemoteError for an id that names no stub.
std::shared_ptr<ByteStream> DispatchToStub(Connector* logger, const std::shared_ptr<ByteStream>& request,
                                           const std::shared_ptr<ConnectionHandler>& handler);

}  // namespace detail
}  // namespace zel::proglibs::ipc2
