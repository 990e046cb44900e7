// How connections end: a misbehaving peer, a dead peer, closing from either side or from inside a
// call, the last proxy going, and what is left afterwards.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <future>
#include <map>

#include "server.h"
#include "trace/trace.h"

extern char** environ;

namespace sockettest {
namespace {

bool Logged(const trace::Capture& capture, const std::string& part) {
    for (const auto& r : capture.Records()) {
        if (r.text.find(part) != std::string::npos) return true;
    }
    return false;
}

TEST(SocketLifecycle, MalformedFrameEndsOnlyThatConnectionWithALoggedReason) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"oversize", RawFrame(1, 1, 2, 1, "", 0, 4097), "frame of 4097 bytes exceeds the limit of 4096 bytes"},
        {"unknown kind", RawFrame(0x77, 1, 2, 1, "x"), "unknown frame kind 119"},
        {"flags set", RawFrame(1, 1, 2, 1, "x", 0x80), "frame flags 0x80"},
        {"reply nobody waits for", RawFrame(2, 555, 2, 1, "x"), "reply for call 555, which nobody waits for"},
        {"second hello", RawHello(kWireVersion, {}), "unexpected hello frame"},
        {"cut short", RawFrame(1, 1, 2, 1, "abc", 0, 100), "inside a frame"},
        {"stalled inside a frame", RawFrame(1, 1, 2, 1, "abc", 0, 100), "the peer stalled inside a frame for 200 ms"},
        {"one-way flag on a reply", RawFrame(2, 1, 2, 1, "x", 0x01), "frame flags 0x01 on a reply frame"},
        {"over-limit flag on a request", RawFrame(1, 1, 2, 1, "x", 0x02), "frame flags 0x02 on a request frame"},
    };
    trace::ScopedLevel level(1);
    trace::Capture capture;
    ipc2::Limits limits;
    limits.maxFrameSize = 4096;
    limits.frameTimeoutMs = 200;
    TestServer server(WithLimits(limits));
    auto good = server.Connect();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto peer = RawPeer::Dial(server.Path());
        ASSERT_NE(peer, nullptr);
        ASSERT_TRUE(peer->Handshake());
        ASSERT_TRUE(peer->Send(c.bytes));
        if (std::string(c.name) == "cut short") ::shutdown(peer->fd(), SHUT_WR);
        EXPECT_TRUE(peer->WaitClosed());
        EXPECT_TRUE(WaitUntil([&] { return Logged(capture, c.reason); }));
        EXPECT_EQ(Text(good->Send(Request(0, kEcho, c.name), true)), c.name);
    }
    EXPECT_TRUE(WaitUntil([&] { return server.disconnects.load() == static_cast<int>(std::size(cases)); }));
}

// A peer that dribbles a frame, never pausing long enough to be called stalled, is dropped once
// the frame is later than its size warrants.
TEST(SocketLifecycle, AFrameThatComesSlowerThanItsSizeWarrantsIsDropped) {
    trace::ScopedLevel level(1);
    trace::Capture capture;
    ipc2::Limits limits;
    limits.frameTimeoutMs = 200;
    TestServer server(WithLimits(limits));
    auto peer = RawPeer::Greeted(server.Path());
    ASSERT_NE(peer, nullptr);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(peer->Send(RawFrame(1, 1, 2, 1, "a", 0, 32 * 1024)));
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(5) && peer->Send("b")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Twice the pause plus 32 KiB at the least rate: about 430 ms.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_TRUE(WaitUntil([&] { return Logged(capture, "of a frame's 32768 bytes in"); }));
}

TEST(SocketLifecycle, WireFollowsTheDocumentedLayout) {
    TestServer server;
    auto peer = RawPeer::Dial(server.Path());
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(peer->Send(RawHello(kWireVersion, {"m"})));
    RawHeader h;
    std::string payload;
    ASSERT_TRUE(peer->ReadFrame(h, payload));
    EXPECT_EQ(h.kind, 5);
    EXPECT_EQ(h.callId, 1u);
    EXPECT_EQ(payload, std::string("zipc\x05\0\0\0\0\0\0\0\x01\0\0\0\x01\0\0\0m", 21));

    // A reply echoes the call id, the chain and the depth.
    const std::uint64_t chain = 0x0123456789abcdeeull;
    ASSERT_TRUE(peer->Send(RawRequest(77, chain, 1, 0, kEcho, "abc")));
    ASSERT_TRUE(peer->ReadFrame(h, payload));
    EXPECT_EQ(h.kind, 2);
    EXPECT_EQ(h.flags, 0);
    EXPECT_EQ(h.callId, 77u);
    EXPECT_EQ(h.chain, chain);
    EXPECT_EQ(h.depth, 1);
    EXPECT_EQ(payload, "abc");

    // A failure is an error frame with the call and the reason.
    ASSERT_TRUE(peer->Send(RawRequest(78, chain, 1, 0, kThrow, "z")));
    ASSERT_TRUE(peer->ReadFrame(h, payload));
    EXPECT_EQ(h.kind, 3);
    EXPECT_EQ(h.flags, 0);
    EXPECT_EQ(h.callId, 78u);
    EXPECT_EQ(payload, "object 0 method 2 failed: refused: z");

    // A depth beyond the receiver's limit is refused without running anything, flagged as a limit.
    ASSERT_TRUE(peer->Send(RawRequest(79, chain, 33, 0, kEcho, "deep")));
    ASSERT_TRUE(peer->ReadFrame(h, payload));
    EXPECT_EQ(h.kind, 3);
    EXPECT_EQ(h.flags, 0x02);
    EXPECT_TRUE(Contains(payload, "call depth limit of 32 reached: object 0 method 1 would be nested call 33"));

    // Frames that arrive together are all answered.
    ASSERT_TRUE(peer->Send(RawRequest(80, 10, 1, 0, kEcho, "one") + RawRequest(81, 12, 1, 0, kEcho, "two")));
    std::map<std::uint32_t, std::string> replies;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(peer->ReadFrame(h, payload));
        replies[h.callId] = payload;
    }
    EXPECT_EQ(replies[80], "one");
    EXPECT_EQ(replies[81], "two");

    // A call the server makes while serving one of ours belongs to our call's chain, one deeper,
    // and carries what is left of our call's time (a budget after the header, flag bit 2).
    std::string budgeted = RawRequest(82, chain, 3, 0, kBounce, Ints({1, 5, 0}));
    budgeted[5] = 0x04;
    budgeted.insert(20, Ints({5000}));
    ASSERT_TRUE(peer->Send(budgeted));
    ASSERT_TRUE(peer->ReadFrame(h, payload));
    EXPECT_EQ(h.kind, 1);
    EXPECT_EQ(h.chain, chain);
    EXPECT_EQ(h.depth, 4);
    EXPECT_EQ(h.flags, 0x04);
    EXPECT_GT(h.budget, 4000u);
    EXPECT_LE(h.budget, 5000u);
    EXPECT_EQ(payload.substr(0, 9), Ints({5}) + std::string("\0", 1) + Ints({kBounce}));
    EXPECT_EQ(payload.substr(9), Ints({0, 0, 5}));
    ASSERT_TRUE(peer->Send(RawFrame(2, h.callId, h.chain, h.depth, Ints({100000}))));
    ASSERT_TRUE(peer->ReadFrame(h, payload));
    EXPECT_EQ(h.kind, 2);
    EXPECT_EQ(h.callId, 82u);
    EXPECT_EQ(payload, Ints({100000}));
}

// Giving up on a call is a cancel frame (kind 6) naming its call id and chain, with nothing after
// the header: the server marks the request, whose implementation sees it; a cancel that comes too
// late is nothing; a cancel with a payload breaks the protocol.
TEST(SocketLifecycle, ACancelFrameReachesTheRequestItNames) {
    TestServer server;
    auto peer = RawPeer::Greeted(server.Path());
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(peer->Send(RawFrame(6, 99, 2, 1, "")));  // names no request: nothing happens
    ASSERT_TRUE(peer->Send(RawRequest(5, 2, 1, 0, kAwaitCancel, "")));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(peer->Send(RawFrame(6, 5, 2, 1, "")));
    RawHeader h;
    std::string payload;
    ASSERT_TRUE(peer->ReadFrame(h, payload));
    EXPECT_EQ(h.kind, 2);
    EXPECT_EQ(h.callId, 5u);
    EXPECT_EQ(payload, "cancelled");
    ASSERT_TRUE(peer->Send(RawFrame(6, 5, 2, 1, "")));  // answered already
    ASSERT_TRUE(peer->Send(RawRequest(6, 2, 1, 0, kEcho, "on")));
    ASSERT_TRUE(peer->ReadFrame(h, payload));
    EXPECT_EQ(payload, "on");
    ASSERT_TRUE(peer->Send(RawFrame(6, 6, 2, 1, "x")));
    EXPECT_TRUE(peer->WaitClosed());
}

TEST(SocketLifecycle, ACallerThatGivesUpSendsACancelFrame) {
    TempDir dir;
    const std::string path = dir.File("fake.sock");
    std::promise<void> finished;
    auto done = finished.get_future().share();
    RawHeader request;
    RawHeader cancel;
    std::atomic<bool> read{false};
    FakeServer fake(path, [&](RawPeer& peer) {
        peer.Send(RawHelloAck(kWireVersion, "", {}));
        std::string payload;
        if (peer.ReadFrame(request, payload) && peer.ReadFrame(cancel, payload)) read = true;
        done.wait();
    });
    auto client = Connect(path, {}, {}, {});
    {
        ipc2::CallDeadline deadline(std::chrono::milliseconds(200));
        EXPECT_THROW(client->Send(Request(0, kEcho, "never answered"), true), ipc2::DeadlineError);
    }
    EXPECT_TRUE(WaitUntil([&] { return read.load(); }));
    EXPECT_TRUE(client->IsConnected());
    finished.set_value();
    EXPECT_EQ(cancel.kind, 6);
    EXPECT_EQ(cancel.length, 0u);
    EXPECT_EQ(cancel.callId, request.callId);
    EXPECT_EQ(cancel.chain, request.chain);
}

// A peer that asks for large replies and reads none holds the writer only as long as a frame may
// pause: the connection is then dropped, and the server goes on serving others.
TEST(SocketLifecycle, APeerThatStopsReadingIsDroppedWhenAWriteStalls) {
    ipc2::Limits limits;
    limits.frameTimeoutMs = 300;
    TestServer server(WithLimits(limits));
    auto peer = RawPeer::Greeted(server.Path());
    ASSERT_NE(peer, nullptr);
    const auto start = std::chrono::steady_clock::now();
    for (std::uint32_t id = 1; id <= 4; ++id) ASSERT_TRUE(peer->Send(RawRequest(id, 2 * id, 1, 0, kRepeat, Ints({1 << 20}))));
    EXPECT_TRUE(WaitUntil([&] { return server.disconnects.load() == 1; }, std::chrono::seconds(5)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    auto other = server.Connect();
    EXPECT_EQ(Text(other->Send(Request(0, kEcho, "still serving"), true)), "still serving");
}

// A TestServer in a child process. It ends when its standard input does, so it does not outlive
// a test process that dies.
class ChildServer {
public:
    explicit ChildServer(const std::string& path) {
        int out[2];
        int in[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        std::string exe = SOCKET_TEST_SERVER;
        char* argv[] = {exe.data(), const_cast<char*>(path.c_str()), nullptr};
        const int r = ::posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(in[0]);
        out_ = out[0];
        in_ = in[1];
        if (r != 0) throw std::runtime_error("posix_spawn");
    }
    ~ChildServer() {
        Kill();
        ::close(out_);
        ::close(in_);
    }
    // Waits for a line from the child.
    bool Said(const std::string& line) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char c;
            if (::read(out_, &c, 1) != 1) return false;
            if (c != '\n') {
                got.push_back(c);
            } else if (got == line) {
                return true;
            } else {
                got.clear();
            }
        }
        return false;
    }
    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int in_ = -1;
};

// Calls that block in the peer, each on a thread of its own; Results() waits for them to end.
class PendingCalls {
public:
    PendingCalls(const std::shared_ptr<ConnectionHandler>& handler, int n) {
        for (int i = 0; i < n; ++i) {
            std::promise<std::shared_ptr<ByteStream>> p;
            results_.push_back(p.get_future());
            threads_.emplace_back([handler, p = std::move(p)]() mutable {
                try {
                    p.set_value(handler->Send(Request(0, kBlock), true));
                } catch (...) {
                    p.set_exception(std::current_exception());
                }
            });
        }
    }
    ~PendingCalls() {
        for (auto& t : threads_) t.join();
    }
    // How many ended with null within the bound.
    int Lost() {
        int lost = 0;
        for (auto& r : results_) {
            if (r.wait_for(std::chrono::seconds(5)) == std::future_status::ready && r.get() == nullptr) ++lost;
        }
        return lost;
    }

private:
    std::vector<std::future<std::shared_ptr<ByteStream>>> results_;
    std::vector<std::thread> threads_;
};

TEST(SocketLifecycle, PeerKilledMidCallEndsEveryCallAndDropsTheStubs) {
    TempDir dir;
    const std::string path = dir.File("child.sock");
    ChildServer child(path);
    ASSERT_TRUE(child.Said("ready"));
    auto receiver = std::make_shared<TestReceiver>();
    auto client = Connect(path, {}, receiver, {});
    EXPECT_EQ(client->GetPeerCredentials().pid, child.pid());
    auto impl = std::make_shared<Impl>();
    AddStub(client, impl);
    std::weak_ptr<Impl> watch = impl;
    impl.reset();

    {
        PendingCalls calls(client, 3);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(child.Said("blocked"));
        child.Kill();
        EXPECT_EQ(calls.Lost(), 3);
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client->Send(Request(0, kEcho, "later"), true), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(client->IsConnected());
    EXPECT_TRUE(WaitUntil([&] { return watch.expired(); }));
}

TEST(SocketLifecycle, ClosingReturnsWithTheConnectionsThreadsEnded) {
    // The server lives in another process, so every thread counted here is the client's.
    TempDir dir;
    const std::string path = dir.File("child.sock");
    ChildServer child(path);
    ASSERT_TRUE(child.Said("ready"));
    auto receiver = std::make_shared<TestReceiver>();
    const int before = ThreadCount();
    for (bool byClose : {true, false}) {
        SCOPED_TRACE(byClose ? "Close" : "handler released");
        auto client = Connect(path, {}, receiver, {});
        auto impl = std::make_shared<Impl>();
        const int object = AddStub(client, impl);
        // Callbacks that belong to no call of ours make the client's pool grow.
        std::vector<std::thread> callers;
        for (int i = 0; i < 3; ++i) {
            callers.emplace_back([&] {
                EXPECT_NO_THROW(client->Send(Request(0, kForward, Ints({object, kEcho})), true));
            });
        }
        for (auto& c : callers) c.join();
        EXPECT_GT(ThreadCount(), before);
        if (byClose) {
            client->Close();
        } else {
            client.reset();
        }
        EXPECT_EQ(ThreadCount(), before);
    }
}

TEST(SocketLifecycle, PeerThatStopsReadingFailsTheCallWithoutASignal) {
    TempDir dir;
    const std::string path = dir.File("fake.sock");
    std::promise<void> stopped;
    std::promise<void> finished;
    auto done = finished.get_future().share();
    FakeServer fake(path, [&](RawPeer& peer) {
        peer.Send(RawHelloAck(kWireVersion, "", {}));
        ::shutdown(peer.fd(), SHUT_RD);
        stopped.set_value();
        done.wait();
    });
    auto client = Connect(path, {}, {}, {});
    stopped.get_future().wait();
    EXPECT_EQ(client->Send(Request(0, kEcho, "into the void"), true), nullptr);
    EXPECT_FALSE(client->IsConnected());
    finished.set_value();
}

TEST(SocketLifecycle, ClosingEndsPendingCallsOnThisSideAndReportsTheLossOnceOnTheOther) {
    TestServer server;
    auto serverImpl = std::make_shared<Impl>();
    std::weak_ptr<Impl> serverWatch = serverImpl;
    server.OnConnected([impl = serverImpl](const std::shared_ptr<ipc2::RegistryConnectionHandler>& h) {
        AddStub(h, impl);
    });
    serverImpl.reset();
    auto client = server.Connect({}, std::make_shared<TestReceiver>());
    auto clientImpl = std::make_shared<Impl>();
    std::weak_ptr<Impl> clientWatch = clientImpl;
    AddStub(client, clientImpl);
    clientImpl.reset();
    server.OnConnected(nullptr);

    {
        PendingCalls calls(client, 3);
        ASSERT_TRUE(server.root->gate.WaitEntered(3));
        client->Close();
        // Close returns with the stubs dropped, and the calls end.
        EXPECT_TRUE(clientWatch.expired());
        EXPECT_EQ(calls.Lost(), 3);
    }
    EXPECT_TRUE(WaitUntil([&] { return server.disconnects.load() == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return serverWatch.expired(); }));

    // The requests still running on the server finish into a closed connection.
    server.root->gate.Open();
    client->Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(server.disconnects.load(), 1);
}

TEST(SocketLifecycle, CloseFromInsideACallOnEitherSide) {
    TestServer server;
    {
        // The server's handler closes its own connection, on the thread that read the request.
        auto client = server.Connect();
        EXPECT_EQ(client->Send(Request(0, kClose), true), nullptr);
        EXPECT_FALSE(client->IsConnected());
        EXPECT_TRUE(WaitUntil([&] { return server.disconnects.load() == 1; }));
    }
    {
        // The client's handler closes the client's connection while running a callback that
        // arrived inside the client's own call, on the caller's thread.
        auto client = server.Connect({}, std::make_shared<TestReceiver>());
        auto impl = std::make_shared<Impl>();
        const int object = AddStub(client, impl);
        std::shared_ptr<ByteStream> r = Request(0, kEcho);
        EXPECT_NO_THROW(r = client->Send(Request(0, kForward, Ints({object, kClose})), true));
        EXPECT_EQ(r, nullptr);
        EXPECT_FALSE(client->IsConnected());
        EXPECT_TRUE(WaitUntil([&] { return server.disconnects.load() == 2; }));
    }
    {
        // The same, for a call from the server that belongs to no call of the client's: it runs on
        // one of the client connection's own threads.
        auto client = server.Connect({}, std::make_shared<TestReceiver>());
        auto impl = std::make_shared<Impl>();
        const int object = AddStub(client, impl);
        auto serverSide = server.Handler(2);
        ASSERT_NE(serverSide, nullptr);
        EXPECT_EQ(serverSide->Send(Request(object, kClose), true), nullptr);
        EXPECT_TRUE(WaitUntil([&] { return !client->IsConnected(); }));
        EXPECT_TRUE(WaitUntil([&] { return server.disconnects.load() == 3; }));
    }
}

class TestProxy : public ipc2::IProxy {
public:
    TestProxy(int id, std::weak_ptr<ConnectionHandler> handler) : id_(id), handler_(std::move(handler)) {}
    ~TestProxy() override {
        if (auto h = handler_.lock()) h->RemoveProxy(id_);
    }
    int GetId() override { return id_; }
    void IncreaseReferenceCount() override {}

private:
    int id_;
    std::weak_ptr<ConnectionHandler> handler_;
};

TEST(SocketLifecycle, ClientConnectionClosesWithItsLastProxy) {
    TestServer server;
    auto client = server.Connect();
    auto proxy = client->GetOrCreateProxy(0, [](int id, std::shared_ptr<ConnectionHandler> h) {
        return std::make_shared<TestProxy>(id, h);
    });
    EXPECT_EQ(Text(client->Send(Request(0, kEcho, "through the proxy's connection"), true)),
              "through the proxy's connection");
    proxy.reset();
    EXPECT_TRUE(WaitUntil([&] { return !client->IsConnected(); }));
    EXPECT_TRUE(WaitUntil([&] { return server.disconnects.load() == 1; }));

    // Not on the server side: its connections end with their clients.
    auto other = server.Connect();
    auto serverSide = server.Handler(1);
    ASSERT_NE(serverSide, nullptr);
    auto serverProxy = serverSide->GetOrCreateProxy(3, [](int id, std::shared_ptr<ConnectionHandler> h) {
        return std::make_shared<TestProxy>(id, h);
    });
    serverProxy.reset();
    EXPECT_EQ(Text(other->Send(Request(0, kEcho, "still open"), true)), "still open");
}

TEST(SocketLifecycle, ConnectAndCloseLeaveNoDescriptorsOrThreads) {
    TestServer server({}, /*keepHandlers=*/false);
    auto cycle = [&](int i) {
        auto client = server.Connect({}, std::make_shared<TestReceiver>());
        auto impl = std::make_shared<Impl>();
        AddStub(client, impl);
        if (Text(client->Send(Request(0, kEcho, "cycle"), true)) != "cycle") ADD_FAILURE() << "cycle " << i;
        // Half end by Close, half by letting the handler go.
        if (i % 2 == 0) client->Close();
    };
    cycle(0);
    ASSERT_TRUE(WaitUntil([&] { return server.disconnects.load() == 1; }));
    const int fds = FdCount();
    const int threads = ThreadCount();
    for (int i = 1; i <= 200; ++i) cycle(i);
    EXPECT_TRUE(WaitUntil([&] { return server.disconnects.load() == 201; }));
    EXPECT_TRUE(WaitUntil([&] { return FdCount() <= fds && ThreadCount() <= threads; }))
        << "descriptors " << FdCount() << " (were " << fds << "), threads " << ThreadCount() << " (were " << threads
        << ")";
}

// A service that still holds a proxy of a client that went (a sink never unregistered) must not
// keep that connection's descriptors or threads: only the handler object stays, and it fails at once.
TEST(SocketLifecycle, AnEndedConnectionKeepsNoDescriptorsWhileItsHandlersAreHeld) {
    TestServer server;  // keeps every server-side handler, as a service keeps its sinks' proxies
    auto warm = server.Connect();
    warm->Close();
    ASSERT_TRUE(WaitUntil([&] { return server.disconnects.load() == 1; }));
    const int fds = FdCount();
    const int threads = ThreadCount();
    std::vector<std::shared_ptr<ConnectionHandler>> held;
    for (int i = 0; i < 60; ++i) {
        auto client = server.Connect();
        if (Text(client->Send(Request(0, kEcho, "hi"), true)) != "hi") ADD_FAILURE() << "connection " << i;
        // Ended by either side; both handlers stay held.
        if (i % 2 == 0) {
            client->Close();
        } else {
            server.Handler(static_cast<std::size_t>(i + 1))->Close();
        }
        held.push_back(client);
    }
    EXPECT_TRUE(WaitUntil([&] { return server.disconnects.load() == 61; }));
    EXPECT_TRUE(WaitUntil([&] { return FdCount() <= fds && ThreadCount() <= threads; }))
        << "descriptors " << FdCount() << " (were " << fds << "), threads " << ThreadCount() << " (were " << threads
        << ")";
    const auto start = std::chrono::steady_clock::now();
    for (auto& client : held) EXPECT_EQ(client->Send(Request(0, kEcho, "late"), true), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace sockettest
