// The runtime's limits on both transports, each met at N-1, N and N+1 through the binding's real
// proxies and stubs: the depth of nested calls, the size of a request and of a reply, the stubs
// alive on one connection, and the calls outstanding on one connection. The call past a limit
// fails with the runtime's error, and the connection goes on serving afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aai/detail/connector.h"
#include "fuzz_tables.h"
#include "trace/trace.h"
#include "transports.h"
#include "wait.h"

namespace robustness {
namespace {

namespace aai = zel::iface::aai;
namespace ipc2 = zel::proglibs::ipc2;
using aai_fuzz::Brokers;

// A hang guard: no case waits on another thread longer than this.
constexpr auto kPatience = std::chrono::seconds(20);

// Serves an aai root under a name of its own, with the limits the test sets, and connects to it
// the way the binding's connector does (the runtime's connect, then the binding's handshake).
class LimitsConnector : public ipc2::Connector {
public:
    static std::shared_ptr<LimitsConnector> Create() { return std::shared_ptr<LimitsConnector>(new LimitsConnector); }

    void Serve(const std::string& name, std::shared_ptr<aai::IAAService> root, const Brokers& brokers) {
        void* const object = root.get();
        ipc2::StubFactory factory = [root, brokers](void* raw, int id, std::shared_ptr<ipc2::ConnectionHandler> h) {
            return brokers->aaiBroker->makeAAServiceStub(raw, id, std::move(h), brokers, root);
        };
        RegisterServerImpl(name, true, "AAService", object, std::move(factory), Modules());
    }

    std::shared_ptr<aai::IAAService> Connect(const std::string& name, const std::string& address,
                                             const Brokers& brokers) {
        return aai::detail::Handshake(ConnectImpl(name, address, Modules()), brokers);
    }

    void ClientConnected(std::shared_ptr<ipc2::ConnectionHandler> handler) override {
        std::lock_guard<std::mutex> lock(mutex_);
        server_ = std::dynamic_pointer_cast<ipc2::RegistryConnectionHandler>(handler);
    }
    void Disconnected(std::shared_ptr<ipc2::ConnectionHandler>) override {}

    // The stubs alive on the server's end of the last connection.
    std::size_t ServerStubs() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return server_ ? server_->Registry().StubCount() : 0;
    }

private:
    LimitsConnector() = default;
    static std::vector<std::string> Modules() { return {"aai", "userlogin", "datetime"}; }

    mutable std::mutex mutex_;
    std::shared_ptr<ipc2::RegistryConnectionHandler> server_;
};

// Nested calls: the client's reply handler calls the server again from inside the server's call
// to it, and so on, until `remaining` calls have been made. Each call made is one level deeper.
struct Chain {
    std::atomic<int> remaining{0};
    std::atomic<int> deepest{0};
    std::atomic<int> level{0};

    void Enter() {
        const int now = ++level;
        int seen = deepest.load();
        while (now > seen && !deepest.compare_exchange_weak(seen, now)) {
        }
    }
    void Leave() { --level; }
    bool TakeOne() {
        int left = remaining.load();
        while (left > 0 && !remaining.compare_exchange_weak(left, left - 1)) {
        }
        return left > 0;
    }
};

struct ChainEmailServer : aai_fuzz::NullEmailAddressServer {
    explicit ChainEmailServer(Chain& chain) : chain(chain) {}
    void getEmailAddresses(const std::string&, bool, std::shared_ptr<aai::IGetEmailAddressesReplyHandler> handler) override {
        chain.Enter();
        struct Leave {
            Chain& chain;
            ~Leave() { chain.Leave(); }
        } leave{chain};
        if (chain.TakeOne()) handler->onGetEmailAddressesResult(aai::DOMAINOPERATIONRESULT_SUCCESS);
    }
    Chain& chain;
};

struct ChainReplyHandler : aai_fuzz::NullGetEmailAddressesReplyHandler,
                           std::enable_shared_from_this<ChainReplyHandler> {
    explicit ChainReplyHandler(Chain& chain) : chain(chain) {}
    void onGetEmailAddressesResult(aai::DomainOperationResult) override {
        chain.Enter();
        struct Leave {
            Chain& chain;
            ~Leave() { chain.Leave(); }
        } leave{chain};
        if (chain.TakeOne()) server->getEmailAddresses("", false, shared_from_this());
    }
    Chain& chain;
    std::shared_ptr<aai::IEmailAddressServer> server;
};

// Answers getName with a name of the set length, signData with an empty string, blocking first
// while the data is "block" until let go.
struct SizedClusterServer : aai_fuzz::NullClusterSecurityServer {
    std::string getName() override { return std::string(nameLength.load(), 'n'); }
    std::string signData(const std::string& data) override {
        if (data == "block") {
            std::unique_lock<std::mutex> lock(mutex);
            ++blocked;
            changed.notify_all();
            changed.wait_for(lock, kPatience, [&] { return letGo; });
            --blocked;
        }
        return std::string();
    }
    bool WaitForBlocked(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return blocked == n; });
    }
    void LetGo() {
        std::lock_guard<std::mutex> lock(mutex);
        letGo = true;
        changed.notify_all();
    }
    std::atomic<std::size_t> nameLength{0};
    std::mutex mutex;
    std::condition_variable changed;
    int blocked = 0;
    bool letGo = false;
};

struct Session : aai_fuzz::NullServerSession {
    std::shared_ptr<aai::IEmailAddressServer> getEmailAddressServer() override { return email; }
    std::shared_ptr<aai::IClusterSecurityServer> getClusterSecurityServer() override { return cluster; }
    // A new object each time: a new stub on the connection each time.
    std::shared_ptr<aai::IPasswordHandler> getPasswordHandler() override {
        return std::make_shared<aai_fuzz::NullPasswordHandler>();
    }
    std::shared_ptr<aai::IEmailAddressServer> email;
    std::shared_ptr<aai::IClusterSecurityServer> cluster;
};

struct Root : aai_fuzz::NullAAService {
    std::shared_ptr<aai::IServerSession> registerClient(const std::string&) override { return session; }
    std::shared_ptr<Session> session = std::make_shared<Session>();
};

class Limits : public ::testing::TestWithParam<Transport> {
protected:
    // Serves a fresh root under a fresh name and connects to it, both sides held to `limits`.
    void Start(const ipc2::Limits& limits) {
        static std::atomic<int> serial{0};
        const std::string name = "robustness-limits-" + std::to_string(++serial);
        root_ = std::make_shared<Root>();
        root_->session->email = std::make_shared<ChainEmailServer>(chain_);
        root_->session->cluster = cluster_;
        server_->SetLimits(limits);
        client_->SetLimits(limits);
        server_->Serve(name, root_, brokers_);
        service_ = client_->Connect(name, AddressFor(GetParam(), name), brokers_);
        ASSERT_NE(service_, nullptr);
        session_ = service_->registerClient("robustness");
        ASSERT_NE(session_, nullptr);
    }

    void TearDown() override {
        session_.reset();
        service_.reset();
    }

    // A chain of `calls` nested calls; true when it completed, false when it failed with the
    // runtime's error naming `limit`.
    bool RunChain(int calls, const std::string& limit) {
        auto email = session_->getEmailAddressServer();
        auto handler = std::make_shared<ChainReplyHandler>(chain_);
        handler->server = email;
        chain_.deepest = 0;
        chain_.remaining = calls - 1;
        bool completed = true;
        try {
            email->getEmailAddresses("", false, handler);
        } catch (const ipc2::IpcError& e) {
            completed = false;
            EXPECT_NE(std::string(e.what()).find(limit), std::string::npos) << e.what();
        }
        handler->server.reset();  // the handler holds the proxy, its stub the handler
        return completed;
    }

    trace::Capture capture_;
    Brokers brokers_ = aai::MakeInterfaceBrokers();
    std::shared_ptr<LimitsConnector> server_ = LimitsConnector::Create();
    std::shared_ptr<LimitsConnector> client_ = LimitsConnector::Create();
    Chain chain_;
    std::shared_ptr<SizedClusterServer> cluster_ = std::make_shared<SizedClusterServer>();
    std::shared_ptr<Root> root_;
    std::shared_ptr<aai::IAAService> service_;
    std::shared_ptr<aai::IServerSession> session_;
};

TEST_P(Limits, CallDepth) {
    for (int depth : {5, ipc2::Limits{}.maxCallDepth}) {
        SCOPED_TRACE("maxCallDepth " + std::to_string(depth));
        ipc2::Limits limits;
        limits.maxCallDepth = depth;
        Start(limits);
        const std::string named = "call depth limit of " + std::to_string(depth);
        for (int calls : {depth - 1, depth}) {
            EXPECT_TRUE(RunChain(calls, named)) << calls << " nested calls";
            EXPECT_EQ(chain_.deepest.load(), calls);
        }
        EXPECT_FALSE(RunChain(depth + 1, named));
        EXPECT_EQ(chain_.deepest.load(), depth) << "the call past the limit ran";
        EXPECT_TRUE(RunChain(2, named)) << "the connection is still usable";
    }
}

// Nested calls are outstanding calls of their connection too.
TEST_P(Limits, OutstandingCallsBoundNestingOnOneConnection) {
    ipc2::Limits limits;
    limits.maxOutstandingCalls = 4;
    Start(limits);
    EXPECT_TRUE(RunChain(4, "outstanding call limit of 4"));
    EXPECT_FALSE(RunChain(5, "outstanding call limit of 4"));
    EXPECT_EQ(chain_.deepest.load(), 4);
    EXPECT_TRUE(RunChain(4, "outstanding call limit of 4"));
}

TEST_P(Limits, FrameSizeOfARequest) {
    const std::size_t frame = 4096;
    ipc2::Limits limits;
    limits.maxFrameSize = frame;
    Start(limits);
    auto cluster = session_->getClusterSecurityServer();
    // signData(data): header 9, string length 4, the data.
    for (std::size_t size : {frame - 1, frame, frame + 1}) {
        SCOPED_TRACE("request of " + std::to_string(size) + " bytes");
        const std::string data(size - 13, 'd');
        if (size <= frame) {
            EXPECT_NO_THROW(cluster->signData(data));
        } else {
            try {
                cluster->signData(data);
                ADD_FAILURE() << "a request over the limit was sent";
            } catch (const ipc2::LimitError& e) {
                EXPECT_NE(std::string(e.what()).find("frame size limit of 4096"), std::string::npos) << e.what();
            }
        }
    }
    EXPECT_EQ(cluster->getName(), "");
}

TEST_P(Limits, FrameSizeOfAReply) {
    const std::size_t frame = 4096;
    ipc2::Limits limits;
    limits.maxFrameSize = frame;
    Start(limits);
    auto cluster = session_->getClusterSecurityServer();
    // getName(): the string's length, then the name.
    for (std::size_t size : {frame - 1, frame, frame + 1}) {
        SCOPED_TRACE("reply of " + std::to_string(size) + " bytes");
        cluster_->nameLength = size - 4;
        if (size <= frame) {
            EXPECT_EQ(cluster->getName().size(), size - 4);
        } else {
            EXPECT_THROW(cluster->getName(), ipc2::LimitError);
        }
    }
    cluster_->nameLength = 1;
    EXPECT_EQ(cluster->getName(), "n");
}

// The server's end holds the root's and the session's stubs; each getPasswordHandler adds one.
TEST_P(Limits, StubsPerConnection) {
    const int maxStubs = 8;
    ipc2::Limits limits;
    limits.maxStubsPerConnection = maxStubs;
    Start(limits);
    ASSERT_EQ(server_->ServerStubs(), 2u);
    std::vector<std::shared_ptr<aai::IPasswordHandler>> kept;
    while (server_->ServerStubs() < static_cast<std::size_t>(maxStubs)) {
        kept.push_back(session_->getPasswordHandler());
        ASSERT_NE(kept.back(), nullptr);
    }
    EXPECT_EQ(server_->ServerStubs(), static_cast<std::size_t>(maxStubs));
    try {
        session_->getPasswordHandler();
        ADD_FAILURE() << "a stub past the limit was made";
    } catch (const ipc2::IpcError& e) {
        EXPECT_NE(std::string(e.what()).find("stub limit reached: 8"), std::string::npos) << e.what();
    }
    EXPECT_EQ(server_->ServerStubs(), static_cast<std::size_t>(maxStubs));
    // A released object makes room for the next (its release may take a moment over a socket).
    kept.pop_back();
    EXPECT_TRUE(WaitUntil([&] { return server_->ServerStubs() == static_cast<std::size_t>(maxStubs - 1); }));
    kept.push_back(session_->getPasswordHandler());
    EXPECT_NE(kept.back(), nullptr);
    EXPECT_EQ(server_->ServerStubs(), static_cast<std::size_t>(maxStubs));
}

// Calls from several threads at once, held inside the server until let go: with N-1 of them held
// one more goes through, with N held the next is refused.
TEST_P(Limits, OutstandingCallsFromThreads) {
    const int maxCalls = 4;
    for (int held : {maxCalls - 1, maxCalls}) {
        SCOPED_TRACE(std::to_string(held) + " calls held");
        cluster_ = std::make_shared<SizedClusterServer>();
        ipc2::Limits limits;
        limits.maxOutstandingCalls = maxCalls;
        Start(limits);
        auto cluster = session_->getClusterSecurityServer();
        std::atomic<int> failed{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < held; ++i) {
            threads.emplace_back([&] {
                try {
                    cluster->signData("block");
                } catch (...) {
                    ++failed;
                }
            });
        }
        EXPECT_TRUE(cluster_->WaitForBlocked(held));
        if (held < maxCalls) {
            EXPECT_NO_THROW(cluster->signData("x"));
        } else {
            try {
                cluster->signData("x");
                ADD_FAILURE() << "a call past the limit went through";
            } catch (const ipc2::LimitError& e) {
                EXPECT_NE(std::string(e.what()).find("outstanding call limit of 4"), std::string::npos) << e.what();
            }
        }
        cluster_->LetGo();
        for (auto& t : threads) t.join();
        EXPECT_EQ(failed.load(), 0);
        EXPECT_NO_THROW(cluster->signData("x"));
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, Limits, kBothTransports, TransportName);

}  // namespace
}  // namespace robustness
