// A served TestStub on a socket file in a private directory, with the connections it saw; and the
// client's connect. Both drive the runtime's socket transport directly (runtime/ipc2/src): the
// listener with an admission of the test's own, and the client's connect over a socket.
#pragma once

#include <gtest/gtest.h>

#include "agreement.h"
#include "connect.h"
#include "socket/channel.h"
#include "socket/listener.h"
#include "support.h"

namespace sockettest {

namespace sock = zel::proglibs::ipc2::socket;
namespace detail = zel::proglibs::ipc2::detail;

// What the server answered in the handshake.
using ServerInfo = detail::Announced;

// How a test server serves.
struct ServerConfig {
    std::string path;                      // socket file; a fresh private one when empty
    mode_t mode = 0600;                    // owner-only by default
    gid_t group = static_cast<gid_t>(-1);  // chgrp when set
    ipc2::Limits limits;
    // The modules the server serves; a client asking for another one is refused. Empty: any.
    std::vector<std::string> modules;
    std::string checksum;  // announced in the handshake
    int handshakeTimeoutMs = 5000;
    int maxConnectionsPerUser = 128;
};

// Admits every client that agrees with `config` as `receiver`'s, as a runtime serving a name does.
inline sock::Admit AdmitTo(const ServerConfig& config, const std::shared_ptr<TestReceiver>& receiver) {
    return [config, weak = std::weak_ptr<TestReceiver>(receiver)](const sock::Hello& hello, sock::Channel& channel) {
        std::vector<std::string> modules = detail::AgreeModules(config.modules, hello.modules);
        auto end = std::make_shared<ipc2::Endpoint>(ipc2::Endpoint::Options{modules, true, config.limits, "test"},
                                                    channel.shared_from_this());
        channel.Attach(end);
        const std::shared_ptr<TestReceiver> connector = weak.lock();
        end->Bind(connector, true);
        try {
            if (connector) connector->ClientConnected(end);
        } catch (...) {
            end->Unadmit();
            throw;
        }
        return sock::Admitted{config.checksum, std::move(modules)};
    };
}

inline std::unique_ptr<sock::Listener> Listen(const ServerConfig& config, const std::shared_ptr<TestReceiver>& receiver) {
    sock::Listener::Options options{{config.path, config.mode, config.group}, config.handshakeTimeoutMs,
                                    config.maxConnectionsPerUser};
    return sock::Listener::Start(options, AdmitTo(config, receiver));
}

// A client's connection; `receiver` (may be null: the runtime's own dispatch) runs the server's
// calls back, and must outlive the connection's use.
inline std::shared_ptr<ConnectionHandler> Connect(const std::string& path, std::vector<std::string> modules,
                                                  const std::shared_ptr<TestReceiver>& receiver,
                                                  const ipc2::Limits& limits, ServerInfo* info = nullptr) {
    detail::ClientSide client{"test", std::move(modules), "", limits, receiver};
    return detail::ConnectSocket(path, client, info);
}

class TestServer {
public:
    explicit TestServer(ServerConfig config = {}, bool keepHandlers = true) : keep_(keepHandlers) {
        if (config.path.empty()) config.path = dir_.File("s.sock");
        path_ = config.path;
        receiver->onConnected = [this](const std::shared_ptr<ConnectionHandler>& handler) {
            auto h = std::dynamic_pointer_cast<ipc2::RegistryConnectionHandler>(handler);
            std::function<void(const std::shared_ptr<ipc2::RegistryConnectionHandler>&)> hook;
            {
                std::lock_guard<std::mutex> lk(mu_);
                hook = onConnected_;
            }
            if (hook) hook(h);
            std::lock_guard<std::mutex> lk(mu_);
            seen_.push_back(h);
            if (keep_) handlers_.push_back(h);
            ++connects;
        };
        receiver->onDisconnected = [this](const std::shared_ptr<ConnectionHandler>&) { ++disconnects; };
        listener = Listen(config, receiver);
    }

    ~TestServer() {
        listener.reset();
        std::vector<std::weak_ptr<ipc2::RegistryConnectionHandler>> seen;
        {
            std::lock_guard<std::mutex> lk(mu_);
            seen.swap(seen_);
            handlers_.clear();
        }
        // Ends the connections (and their threads) before the hooks' captures go.
        for (auto& w : seen) {
            if (auto h = w.lock()) h->Close();
        }
    }

    std::shared_ptr<ConnectionHandler> Connect(const ipc2::Limits& limits = {},
                                               std::shared_ptr<TestReceiver> clientReceiver = nullptr,
                                               ServerInfo* info = nullptr) {
        clientReceivers_.push_back(clientReceiver);
        return sockettest::Connect(path_, {}, clientReceiver, limits, info);
    }

    // The server side of the n-th connection (waits for its handshake).
    std::shared_ptr<ipc2::RegistryConnectionHandler> Handler(std::size_t n = 0) {
        EXPECT_TRUE(WaitUntil([&] { return connects.load() > static_cast<int>(n); }));
        std::lock_guard<std::mutex> lk(mu_);
        return n < handlers_.size() ? handlers_[n] : nullptr;
    }

    // Runs first in the admission of the connections that arrive from now on; throwing refuses.
    void OnConnected(std::function<void(const std::shared_ptr<ipc2::RegistryConnectionHandler>&)> hook) {
        std::lock_guard<std::mutex> lk(mu_);
        onConnected_ = std::move(hook);
    }

    const std::string& Path() const { return path_; }
    const TempDir& Dir() const { return dir_; }

    std::shared_ptr<Impl> root = std::make_shared<Impl>();
    std::shared_ptr<TestReceiver> receiver = std::make_shared<TestReceiver>(root);
    std::unique_ptr<sock::Listener> listener;
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};

private:
    TempDir dir_;
    std::string path_;
    bool keep_;
    std::mutex mu_;
    std::vector<std::shared_ptr<ipc2::RegistryConnectionHandler>> handlers_;
    std::vector<std::weak_ptr<ipc2::RegistryConnectionHandler>> seen_;
    std::vector<std::shared_ptr<TestReceiver>> clientReceivers_;
    std::function<void(const std::shared_ptr<ipc2::RegistryConnectionHandler>&)> onConnected_;
};

inline ServerConfig WithLimits(const ipc2::Limits& limits) {
    ServerConfig c;
    c.limits = limits;
    return c;
}

inline ::testing::AssertionResult Contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "'" << text << "' does not contain '" << part << "'";
}

// Runs f and reports the message of the exception of type E it throws ("" when none).
template <typename E, typename F>
std::string ThrownMessage(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "";
}

}  // namespace sockettest
