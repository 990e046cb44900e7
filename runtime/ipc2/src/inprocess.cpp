#include "inprocess.h"

#include <unistd.h>

#include <atomic>
#include <utility>

#include "agreement.h"
#include "ipc2/errors.h"
#include "served.h"

namespace zel::proglibs::ipc2::detail::inprocess {

namespace {

// What both ends of one connection share.
struct Pair {
    std::atomic<bool> closed{false};
    // Set once, before either end is handed out.
    std::weak_ptr<Endpoint> client;
    std::weak_ptr<Endpoint> server;

    // Both ends are told, with no lock held: their stubs' implementations may still send (and
    // find the connection closed) while they are let go.
    void Close() {
        if (closed.exchange(true, std::memory_order_acq_rel)) return;
        const std::shared_ptr<Endpoint> clientEnd = client.lock();
        const std::shared_ptr<Endpoint> serverEnd = server.lock();
        if (clientEnd) clientEnd->Ended();
        if (serverEnd) serverEnd->Ended();
    }
};

class InProcessLink final : public Link {
public:
    // The client's link keeps the server's end alive (`server`); the server's reaches the client's
    // end through the pair, weakly, so that a client that goes unclosed ends the connection.
    InProcessLink(std::shared_ptr<Pair> pair, std::shared_ptr<Endpoint> server)
        : pair_(std::move(pair)), server_(std::move(server)) {}

    Outcome Exchange(const std::shared_ptr<ByteStream>& request, int depth, Clock::time_point deadline) override {
        return Deliver(request, depth, false, deadline);
    }
    void Post(const std::shared_ptr<ByteStream>& request, int depth) override {
        Deliver(request, depth, true, Clock::time_point::max());
    }
    void Close(const std::string&) override { pair_->Close(); }
    void Shutdown(const std::string&) override { pair_->Close(); }
    bool IsOpen() const noexcept override { return !pair_->closed.load(std::memory_order_acquire); }
    PeerCredentials Peer() const override { return PeerCredentials{::getpid(), ::getuid(), ::getgid()}; }

private:
    // Runs the request on the other end. The two ends share their limiter, which counted the call
    // open and checked its depth as it was made: the other end has nothing more to check.
    Outcome Deliver(const std::shared_ptr<ByteStream>& request, int depth, bool oneWay, Clock::time_point deadline) {
        if (!IsOpen()) return Outcome{};
        if (server_) return Run(server_, request, depth, oneWay, deadline);
        const std::shared_ptr<Endpoint> client = pair_->client.lock();
        if (!client) return Outcome{};
        return Run(client, request, depth, oneWay, deadline);
    }
    Outcome Run(const std::shared_ptr<Endpoint>& peer, const std::shared_ptr<ByteStream>& request, int depth,
                bool oneWay, Clock::time_point deadline) {
        request->Seek(0);
        Outcome outcome = peer->Serve(peer, request, depth, oneWay, deadline);
        // A connection that ended during the call lost it, whatever the other end made of it; an
        // answer later than its deadline is dropped, as one from another process would be.
        if (!IsOpen()) {
            outcome = Outcome{};
        } else if (deadline != Clock::time_point::max() && Clock::now() > deadline) {
            outcome = Outcome{Outcome::Kind::Expired, nullptr};
        }
        return outcome;
    }

    const std::shared_ptr<Pair> pair_;
    const std::shared_ptr<Endpoint> server_;
};

}  // namespace

std::shared_ptr<Endpoint> Connect(const ClientSide& client) {
    const std::optional<served::Server> server = served::Find(client.serverName);
    if (!server) return nullptr;
    const std::string& name = client.serverName;
    AgreeChecksums(name, server->registration.checksum, client.checksum);
    std::vector<std::string> modules;
    try {
        modules = AgreeModules(server->registration.modules, client.modules);
    } catch (const ConnectError& e) {
        throw ConnectError("connecting to server '" + name + "' failed: " + e.what());
    }
    const Limits limits = Stricter(client.limits, server->connector->GetLimits());
    // A call is open on both ends at once: one limiter counts it, once, for the pair.
    auto limiter = std::make_shared<Limiter>(limits, name);
    auto pair = std::make_shared<Pair>();
    // Calls run on the calling thread: no peer can hold them, and only a deadline given them bounds
    // them.
    auto serverEnd = std::make_shared<Endpoint>(Endpoint::Options{modules, true, limits, name, false},
                                                std::make_shared<InProcessLink>(pair, nullptr), limiter);
    auto clientEnd = std::make_shared<Endpoint>(Endpoint::Options{modules, false, limits, name, false},
                                                std::make_shared<InProcessLink>(pair, serverEnd), limiter);
    pair->server = serverEnd;
    pair->client = clientEnd;
    clientEnd->Bind(client.connector, false);
    try {
        served::Admit(*server, serverEnd);
    } catch (const std::exception& e) {
        // Never connected: what was made is let go, and nobody is told of an end.
        pair->Close();
        throw ConnectError("connecting to server '" + name + "' failed: " + e.what());
    } catch (...) {
        pair->Close();
        throw;
    }
    return clientEnd;
}

}  // namespace zel::proglibs::ipc2::detail::inprocess
