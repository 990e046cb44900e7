// A served TestStub on a socket file in a private directory, with the connections it saw.
#pragma once

#include <gtest/gtest.h>

#include "socket/transport.h"
#include "support.h"

namespace sockettest {

namespace sock = zel::proglibs::ipc2::socket;

class TestServer {
public:
    explicit TestServer(sock::ServerConfig config = {}, bool keepHandlers = true) : keep_(keepHandlers) {
        if (config.path.empty()) config.path = dir_.File("s.sock");
        path_ = config.path;
        sock::ServerHooks hooks;
        hooks.receiver = receiver;
        hooks.connected = [this](const std::shared_ptr<ipc2::RegistryConnectionHandler>& h) {
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
        hooks.disconnected = [this](const std::shared_ptr<ConnectionHandler>& h) {
            std::lock_guard<std::mutex> lk(mu_);
            ++disconnects;
            lastDisconnected_ = h.get();
        };
        listener = sock::Listener::Start(config, hooks);
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
                                               std::shared_ptr<ipc2::IReceiver> clientReceiver = nullptr,
                                               sock::ServerInfo* info = nullptr) {
        clientReceivers_.push_back(clientReceiver);
        return sock::Connect(path_, {}, clientReceiver, limits, info);
    }

    // The server side of the n-th connection (waits for its handshake).
    std::shared_ptr<ipc2::RegistryConnectionHandler> Handler(std::size_t n = 0) {
        EXPECT_TRUE(WaitUntil([&] { return connects.load() > static_cast<int>(n); }));
        std::lock_guard<std::mutex> lk(mu_);
        return n < handlers_.size() ? handlers_[n] : nullptr;
    }

    // Runs first in the `connected` hook of the connections that arrive from now on.
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
    std::vector<std::shared_ptr<ipc2::IReceiver>> clientReceivers_;
    std::function<void(const std::shared_ptr<ipc2::RegistryConnectionHandler>&)> onConnected_;
    const void* lastDisconnected_ = nullptr;
};

inline sock::ServerConfig WithLimits(const ipc2::Limits& limits) {
    sock::ServerConfig c;
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
