// What the two processes of the fault and cycle tests share: a line protocol over pipes, the
// service and the client objects whose calls nest to a chosen depth and stop there, and a
// connector that serves the binding's root the way the binding's own connector does while telling
// the test about every connection that comes and goes.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aai/aai.h"
#include "aai/detail/service.h"
#include "ipc2/ipc2.h"
#include "procfs.h"
#include "service.h"
#include "trace/trace.h"
#include "wait.h"

namespace peer {

namespace aai = zel::iface::aai;
namespace ipc2 = zel::proglibs::ipc2;

// ---------------------------------------------------------------------------------------------
// Lines over pipes

inline bool WriteLine(int fd, const std::string& text) {
    const std::string line = text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

class LineReader {
public:
    explicit LineReader(int fd = -1) : fd_(fd) {}
    void Reset(int fd) {
        fd_ = fd;
        buffer_.clear();
    }
    // The next line, or false at end of stream, on error or once the bound has passed.
    bool Next(std::string& line, std::chrono::milliseconds bound) {
        const auto end = std::chrono::steady_clock::now() + bound;
        for (;;) {
            const auto eol = buffer_.find('\n');
            if (eol != std::string::npos) {
                line = buffer_.substr(0, eol);
                buffer_.erase(0, eol + 1);
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return false;
            if (ready == 0) {
                if (left.count() <= 0) return false;
                continue;
            }
            char chunk[256];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::string buffer_;
};

// ---------------------------------------------------------------------------------------------
// What a process holds

using procfs::FdCount;
using procfs::ThreadCount;

// ---------------------------------------------------------------------------------------------
// Where a chain of nested calls stops

// Called where a chain of calls has reached the depth it was asked to stop at: returns when the
// call may go on (or never, in a process that is about to be faulted).
struct Blocker {
    virtual ~Blocker() = default;
    virtual void Reached(const std::string& where) = 0;
};

// Says where it stopped on a pipe, and stays there: the process is faulted around it.
class StayBlocker : public Blocker {
public:
    explicit StayBlocker(int eventFd) : fd_(eventFd) {}
    void Reached(const std::string& where) override {
        WriteLine(fd_, where);
        for (;;) ::pause();
    }

private:
    int fd_;
};

// Holds the call until the test opens the gate; the bound only keeps a failed test from leaving a
// runtime thread stuck for ever.
class Gate : public Blocker {
public:
    void Reached(const std::string& where) override {
        std::unique_lock<std::mutex> lock(mu_);
        reached_.push_back(where);
        cv_.notify_all();
        cv_.wait_for(lock, std::chrono::seconds(30), [&] { return open_; });
    }
    bool WaitReached(const std::string& where, std::chrono::milliseconds bound) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, bound, [&] {
            for (const auto& r : reached_)
                if (r == where) return true;
            return false;
        });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mu_);
        open_ = true;
        cv_.notify_all();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> reached_;
    bool open_ = false;
};

// ---------------------------------------------------------------------------------------------
// The chain. The client calls getEmailAddresses("chain <d>", handler) [depth 0, on the service];
// the service calls handler->onEmailAddresses [depth 1, on the client]; that calls
// cluster->signData("chain <d>") [depth 2, on the service]; that calls
// handler->onGetEmailAddressesResult [depth 3, on the client]. The call at depth d stops at the
// side's blocker. A "park" call stops at once on its own thread, so that the connection also has
// a call pending outside the chain: the client's signData("park") stops in the service, and the
// service's callback for getEmailAddresses("park") stops in the client.

inline std::string ChainText(int depth) { return "chain " + std::to_string(depth); }
inline std::string DepthText(int depth) { return "depth " + std::to_string(depth); }
inline bool ParseChain(const std::string& text, int& depth) {
    if (text.rfind("chain ", 0) != 0) return false;
    depth = std::stoi(text.substr(6));
    return true;
}

// What the service's side of a chain did, for the test (or the child) to look at.
struct ServiceProbe {
    explicit ServiceProbe(Blocker* b = nullptr) : blocker(b) {}
    Blocker* blocker;
    std::atomic<bool> chainReturned{false};
    std::atomic<bool> parkReturned{false};
    std::atomic<int> liveSessions{0};

    std::mutex mu;
    std::shared_ptr<aai::IGetEmailAddressesReplyHandler> handler;  // the chain's, while the test wants it

    std::shared_ptr<aai::IGetEmailAddressesReplyHandler> Handler() {
        std::lock_guard<std::mutex> lock(mu);
        return handler;
    }
};

struct ChainEmail : e2e::EmailAddresses {
    explicit ChainEmail(std::shared_ptr<ServiceProbe> p) : probe(std::move(p)) {}
    void getEmailAddresses(const std::string& text, bool flag,
                           std::shared_ptr<aai::IGetEmailAddressesReplyHandler> handler) override {
        if (text == "park") {
            handler->onEmailAddresses({});
            probe->parkReturned = true;
            return;
        }
        int depth = 0;
        if (!ParseChain(text, depth)) return e2e::EmailAddresses::getEmailAddresses(text, flag, handler);
        {
            std::lock_guard<std::mutex> lock(probe->mu);
            probe->handler = handler;
        }
        if (depth == 0) {
            probe->blocker->Reached(DepthText(0));
        } else {
            handler->onEmailAddresses({aai::EmailRecipient(std::nullopt, text + "@corp", "Someone")});
        }
        probe->chainReturned = true;
    }
    std::shared_ptr<ServiceProbe> probe;
};

struct ChainCluster : e2e::ClusterSecurity {
    explicit ChainCluster(std::shared_ptr<ServiceProbe> p) : probe(std::move(p)) {}
    std::string signData(const std::string& data) override {
        if (data == "park") {
            probe->blocker->Reached("parked");
            return "parked";
        }
        int depth = 0;
        if (ParseChain(data, depth)) {
            if (depth == 2) {
                probe->blocker->Reached(DepthText(2));
            } else if (auto handler = probe->Handler()) {
                handler->onGetEmailAddressesResult(aai::DOMAINOPERATIONRESULT_SUCCESS);
            }
        }
        return e2e::ClusterSecurity::signData(data);
    }
    std::shared_ptr<ServiceProbe> probe;
};

struct ChainSession : e2e::Session {
    explicit ChainSession(std::shared_ptr<ServiceProbe> p) : probe(std::move(p)) {
        email = std::make_shared<ChainEmail>(probe);
        cluster = std::make_shared<ChainCluster>(probe);
        ++probe->liveSessions;
    }
    ~ChainSession() override { --probe->liveSessions; }
    std::shared_ptr<ServiceProbe> probe;
};

class ChainService : public e2e::Service {
public:
    explicit ChainService(std::shared_ptr<ServiceProbe> p) : probe(std::move(p)) {}
    std::shared_ptr<aai::IServerSession> registerClient(const std::string& clientName) override {
        auto session = std::make_shared<ChainSession>(probe);
        std::lock_guard<std::mutex> lock(mu_);
        clients.push_back(clientName);
        sessions.push_back(session);
        // Only the newest is looked at; the list must not grow over a thousand connections.
        if (sessions.size() > 1) sessions.erase(sessions.begin());
        if (clients.size() > 1) clients.erase(clients.begin());
        return session;
    }
    std::shared_ptr<e2e::Session> Last() {
        std::lock_guard<std::mutex> lock(mu_);
        return sessions.empty() ? nullptr : sessions.back().lock();
    }
    std::weak_ptr<e2e::Session> LastWeak() {
        std::lock_guard<std::mutex> lock(mu_);
        return sessions.empty() ? std::weak_ptr<e2e::Session>() : sessions.back();
    }
    std::shared_ptr<ServiceProbe> probe;

private:
    std::mutex mu_;
};

// The client's reply handler of the chain.
class ChainReply : public aai::IGetEmailAddressesReplyHandler {
public:
    ChainReply(int depth, std::shared_ptr<aai::IClusterSecurityServer> cluster, Blocker* blocker)
        : depth_(depth), cluster_(std::move(cluster)), blocker_(blocker) {}
    void onEmailAddresses(const aai::EmailRecipientList&) override {
        if (depth_ == 1) {
            blocker_->Reached(DepthText(1));
        } else if (depth_ >= 2) {
            // A result lost with the connection is thrown: what it said is kept instead.
            try {
                nested = cluster_->signData(ChainText(depth_));
            } catch (const trace::FatalError& e) {
                nested = std::string("thrown: ") + e.what();
            }
            nestedReturned = true;
        }
    }
    void onGetEmailAddressesResult(aai::DomainOperationResult) override {
        if (depth_ == 3) blocker_->Reached(DepthText(3));
    }
    // Written on the thread of the chain's outermost call, read after it has been joined.
    std::string nested = "unset";
    std::atomic<bool> nestedReturned{false};

private:
    int depth_;
    std::shared_ptr<aai::IClusterSecurityServer> cluster_;
    Blocker* blocker_;
};

class ParkReply : public aai::IGetEmailAddressesReplyHandler {
public:
    explicit ParkReply(Blocker* blocker) : blocker_(blocker) {}
    void onEmailAddresses(const aai::EmailRecipientList&) override { blocker_->Reached("parked"); }
    void onGetEmailAddressesResult(aai::DomainOperationResult) override {}

private:
    Blocker* blocker_;
};

// ---------------------------------------------------------------------------------------------
// Serving

// Serves a root under the binding's name with the binding's broker, checksum and modules, as
// IAAService::RegisterServer does, and keeps account of the connections.
class ServingConnector : public ipc2::Connector {
public:
    static std::shared_ptr<ServingConnector> Create() { return std::shared_ptr<ServingConnector>(new ServingConnector); }

    void Serve(std::shared_ptr<aai::IAAService> root) {
        auto brokers = aai::MakeInterfaceBrokers();
        void* const object = root.get();
        ipc2::StubFactory factory = [root, brokers](void* raw, int id, std::shared_ptr<ipc2::ConnectionHandler> h) {
            return brokers->aaiBroker->makeAAServiceStub(raw, id, std::move(h), brokers, root);
        };
        SetProtocolChecksum(aai::detail::kProtocolChecksum);
        RegisterServerImpl(aai::detail::kServerName, false, aai::detail::kRootWireName, object, std::move(factory),
                           std::vector<std::string>(std::begin(aai::detail::kModules), std::end(aai::detail::kModules)));
    }
    void StopServing() { UnregisterServerImpl(); }

    void ClientConnected(std::shared_ptr<ipc2::ConnectionHandler> handler) override {
        std::lock_guard<std::mutex> lock(mu_);
        ++connected_;
        live_.push_back(std::dynamic_pointer_cast<ipc2::RegistryConnectionHandler>(handler));
    }
    void Disconnected(std::shared_ptr<ipc2::ConnectionHandler> handler) override {
        auto registry = std::dynamic_pointer_cast<ipc2::RegistryConnectionHandler>(handler);
        std::lock_guard<std::mutex> lock(mu_);
        ++disconnected_;
        lastDisconnected_ = registry;
        // What the connection still held when the hook ran.
        stubsAtDisconnect_ += registry ? registry->Registry().StubCount() : 0;
    }

    struct Counts {
        int connected = 0;
        int disconnected = 0;
        int liveHandlers = 0;  // connections whose handler still exists
        std::size_t stubs = 0;    // on those
        std::size_t proxies = 0;  // on those
        std::size_t stubsAtDisconnect = 0;
    };
    Counts Count() {
        std::lock_guard<std::mutex> lock(mu_);
        Counts c;
        c.connected = connected_;
        c.disconnected = disconnected_;
        c.stubsAtDisconnect = stubsAtDisconnect_;
        std::vector<std::weak_ptr<ipc2::RegistryConnectionHandler>> still;
        for (auto& weak : live_) {
            if (auto handler = weak.lock()) {
                ++c.liveHandlers;
                c.stubs += handler->Registry().StubCount();
                c.proxies += handler->Registry().ProxyCount();
                still.push_back(weak);
            }
        }
        live_.swap(still);
        return c;
    }
    std::shared_ptr<ipc2::RegistryConnectionHandler> LastDisconnected() {
        std::lock_guard<std::mutex> lock(mu_);
        return lastDisconnected_.lock();
    }

private:
    ServingConnector() = default;
    std::mutex mu_;
    int connected_ = 0;
    int disconnected_ = 0;
    std::size_t stubsAtDisconnect_ = 0;
    std::vector<std::weak_ptr<ipc2::RegistryConnectionHandler>> live_;
    std::weak_ptr<ipc2::RegistryConnectionHandler> lastDisconnected_;
};

}  // namespace peer
