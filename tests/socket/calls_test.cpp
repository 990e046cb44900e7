// Calls over an open connection: many callers, callbacks nested both ways, failures, limits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

#include "server.h"

namespace sockettest {
namespace {

// A connection on which the server can call an object of the client's as well.
struct BothWays {
    TestServer server;
    std::shared_ptr<ConnectionHandler> client = server.Connect({}, std::make_shared<TestReceiver>());
    const int clientObject = AddStub(client, std::make_shared<Impl>());
    std::shared_ptr<ipc2::RegistryConnectionHandler> serverSide = server.Handler();
};

TEST(SocketCalls, ConcurrentCallersEachGetTheirOwnReply) {
    TestServer server;
    auto client = server.Connect();
    // Sizes around the reader's buffer and its direct-read threshold, and an empty one.
    const std::size_t sizes[] = {0, 1, 11, 8191, 8192, 16363, 16364, 16385, 40000, 300000};
    std::atomic<int> wrong{0};
    std::atomic<int> done{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i) {
                const std::size_t size = sizes[(t + i) % (sizeof sizes / sizeof sizes[0])];
                std::string payload = std::to_string(t) + ":" + std::to_string(i) + ":";
                payload.resize(std::max(size, payload.size()), static_cast<char>('a' + t));
                if (Text(client->Send(Request(0, kEcho, payload), true)) != payload) ++wrong;
                ++done;
            }
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(done.load(), 8 * 60);
}

// The server calls the client back inside the client's call, the client's handler calls the server
// again, and so on: `levels` calls deep beyond the first. Returns the most threads seen on the way.
int Bounce(const std::shared_ptr<ConnectionHandler>& client, int clientObject, int levels) {
    auto reply = client->Send(Request(0, kBounce, Ints({levels, clientObject, 0})), true);
    if (!reply) throw std::runtime_error("connection lost");
    return ipc2::ReadLe32(*reply);
}

TEST(SocketCalls, NestedCallbacksBothWaysRunOnTheWaitingThreads) {
    TestServer server;
    auto clientImpl = std::make_shared<Impl>();
    auto client = server.Connect({}, std::make_shared<TestReceiver>());
    const int clientObject = AddStub(client, clientImpl);
    // Let the connections start the threads they keep.
    ASSERT_NE(client->Send(Request(0, kEcho, "warm"), true), nullptr);
    const int baseline = ThreadCount();

    // Nine calls deep in all, alternating sides: a thread per level would show here.
    EXPECT_LE(Bounce(client, clientObject, 8), baseline + 2);

    // Several chains at once stay apart, each on its own caller.
    std::vector<std::thread> callers;
    std::atomic<int> most{0};
    std::atomic<int> failed{0};
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&] {
            try {
                for (int i = 0; i < 10; ++i) most = std::max(most.load(), Bounce(client, clientObject, 8));
            } catch (const std::exception&) {
                ++failed;
            }
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(failed.load(), 0);
    // The three callers, and each side's pool growing at most to its bound (a thread per level
    // would be 24 more).
    EXPECT_LE(most.load(), baseline + 3 + 2 * 4);
}

TEST(SocketCalls, NestingPastTheLimitFailsTheCallNotTheConnection) {
    // The client allows four levels, the server the default: the client's calls are the odd
    // levels, so the fifth is refused by the client before it is sent, and the server's calls (the
    // even levels) would be refused by the client as they arrive.
    ipc2::Limits limits;
    limits.maxCallDepth = 4;
    TestServer server;
    auto client = server.Connect(limits, std::make_shared<TestReceiver>());
    auto clientImpl = std::make_shared<Impl>();
    const int clientObject = AddStub(client, clientImpl);

    EXPECT_GT(Bounce(client, clientObject, 3), 0);  // four calls deep: allowed
    std::string m = ThrownMessage<ipc2::RemoteError>([&] { Bounce(client, clientObject, 8); });
    EXPECT_TRUE(Contains(m, "call depth limit of 4 reached"));
    EXPECT_EQ(Text(client->Send(Request(0, kEcho, "after"), true)), "after");

    // The same limits the other way round: the server refuses the client's fifth level as it arrives.
    TestServer strict(WithLimits(limits));
    auto other = strict.Connect({}, std::make_shared<TestReceiver>());
    const int otherObject = AddStub(other, clientImpl);
    m = ThrownMessage<ipc2::RemoteError>([&] { Bounce(other, otherObject, 8); });
    EXPECT_TRUE(Contains(m, "call depth limit of 4 reached"));
    EXPECT_EQ(Text(other->Send(Request(0, kEcho, "after"), true)), "after");
}

TEST(SocketCalls, LargeCallsCrossingEachOtherBothGoThrough) {
    // Each side calls the other with more than the socket can buffer, at the same moment. A
    // writer that kept the read token while it waited for the peer to read would leave nobody on
    // its side to read the peer's call, and both writes would wait for good.
    BothWays c;
    ASSERT_NE(c.serverSide, nullptr);
    const std::string big(4u << 20, 'b');
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        std::atomic<int> ready{0};
        auto call = [&](const std::shared_ptr<ConnectionHandler>& from, int object) {
            ++ready;
            while (ready.load() < 2) {
            }
            return Text(from->Send(Request(object, kEcho, big), true)).size();
        };
        auto fromServer = std::async(std::launch::async, call, c.serverSide, c.clientObject);
        auto fromClient = std::async(std::launch::async, call, c.client, 0);
        const bool done = fromServer.wait_for(std::chrono::seconds(20)) == std::future_status::ready &&
                          fromClient.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        if (!done) c.client->Close();  // lets both calls go, so that the test can end
        ASSERT_TRUE(done) << "the crossing calls are stuck";
        EXPECT_EQ(fromServer.get(), big.size());
        EXPECT_EQ(fromClient.get(), big.size());
    }
}

TEST(SocketCalls, APeerThatUnderstatesTheDepthOfItsCallbacksStillMeetsTheLimit) {
    // The peer answers each of the server's calls with a callback in the same chain that claims
    // depth 1. Each one runs on top of the server's waiting call, so the server counts the depth
    // from that call: its stack grows only up to its limit, whatever the peer says.
    ipc2::Limits limits;
    limits.maxCallDepth = 8;
    TestServer server(WithLimits(limits));
    auto peer = RawPeer::Greeted(server.Path());
    ASSERT_NE(peer, nullptr);
    constexpr std::uint64_t kChain = 2;
    // kBounce(n, peer object, own object): the server calls kBounce(n - 1, ...) on object 7 here.
    const std::string bounce = Ints({50, 7, 0});
    ASSERT_TRUE(peer->Send(RawRequest(1, kChain, 1, 0, kBounce, bounce)));
    int callbacks = 0;
    RawHeader h;
    std::string payload;
    for (;;) {
        ASSERT_TRUE(peer->ReadFrame(h, payload));
        if (h.kind != 1) break;
        ASSERT_EQ(h.chain, kChain);
        ASSERT_LT(++callbacks, 50) << "the server's stack grows with the peer's callbacks";
        ASSERT_TRUE(peer->Send(RawRequest(100 + callbacks, kChain, 1, 0, kBounce, bounce)));
    }
    EXPECT_EQ(h.kind, 3);
    EXPECT_EQ(h.callId, 104u);
    // Counted from the server's call at depth 8, the callback would be nested call 9.
    EXPECT_EQ(h.flags, 0x02);
    EXPECT_TRUE(Contains(payload, "call depth limit of 8 reached: object 0 method 4 would be nested call 9")) << payload;
    EXPECT_EQ(callbacks, 4);  // the server's calls at depths 2, 4, 6 and 8

    auto client = server.Connect();
    EXPECT_EQ(Text(client->Send(Request(0, kEcho, "still serving"), true)), "still serving");
}

TEST(SocketCalls, RequestsWaitingForABusyCallerCountAgainstTheLimit) {
    // The server calls the peer, which does not answer but calls back into that call's chain: a
    // blocking request, which the server's waiting thread runs, then more, which wait for that
    // thread. Past the limit they are refused at once rather than piling up.
    ipc2::Limits limits;
    limits.maxOutstandingCalls = 6;
    TestServer server(WithLimits(limits));
    auto peer = RawPeer::Greeted(server.Path());
    ASSERT_NE(peer, nullptr);
    constexpr std::uint64_t kChain = 2;
    ASSERT_TRUE(peer->Send(RawRequest(1, kChain, 1, 0, kForward, Ints({7, kEcho}))));
    RawHeader call;
    std::string payload;
    ASSERT_TRUE(peer->ReadFrame(call, payload));
    ASSERT_EQ(call.kind, 1);
    ASSERT_TRUE(peer->Send(RawRequest(2, kChain, 3, 0, kBlock, "")));
    ASSERT_TRUE(server.root->gate.WaitEntered(1));
    std::string echoes;
    for (std::uint32_t id = 10; id < 20; ++id) echoes += RawRequest(id, kChain, 3, 0, kEcho, "e");
    ASSERT_TRUE(peer->Send(echoes));
    // Every call open on the server's end counts: the request it serves, its call waiting for the
    // peer, and the blocking request. Three echoes wait, the other seven are refused.
    RawHeader h;
    for (std::uint32_t id = 13; id < 20; ++id) {
        ASSERT_TRUE(peer->ReadFrame(h, payload));
        EXPECT_EQ(h.kind, 3);
        EXPECT_EQ(h.flags, 0x02);
        EXPECT_EQ(h.callId, id);
        EXPECT_TRUE(Contains(payload, "outstanding call limit of 6 reached")) << payload;
    }
    // Once the blocking request ends, the three that waited run, in order, on the same thread.
    server.root->gate.Open();
    ASSERT_TRUE(peer->ReadFrame(h, payload));
    EXPECT_EQ(h.callId, 2u);
    EXPECT_EQ(payload, "released");
    for (std::uint32_t id = 10; id < 13; ++id) {
        ASSERT_TRUE(peer->ReadFrame(h, payload));
        EXPECT_EQ(h.kind, 2);
        EXPECT_EQ(h.callId, id);
        EXPECT_EQ(payload, "e");
    }
    // The call the server made is answered at last, and so is the request it served.
    ASSERT_TRUE(peer->Send(RawFrame(2, call.callId, call.chain, call.depth, "answer")));
    ASSERT_TRUE(peer->ReadFrame(h, payload));
    EXPECT_EQ(h.callId, 1u);
    EXPECT_EQ(payload, "answer");
}

TEST(SocketCalls, FailedRequestsAnswerWithTheirReasonAndTheConnectionGoesOn) {
    struct Case {
        const char* name;
        std::shared_ptr<ByteStream> request;
        const char* reason;
    };
    const Case cases[] = {
        {"handler throws", Request(0, kThrow, "no way"), "refused: no way"},
        {"no reply", Request(0, kNoReply), "no reply for object 0 method 3"},
        {"unknown object", Request(99, kEcho, "x"), "no object 99"},
        {"unknown method", Request(0, 42), "no method 42"},
        {"request too short to decode", std::make_shared<ByteStream>("\0\0\0\0\0", 5), "read of 4 bytes"},
    };
    TestServer server;
    auto client = server.Connect();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(Contains(ThrownMessage<ipc2::RemoteError>([&] { client->Send(c.request, true); }), c.reason));
        EXPECT_EQ(Text(client->Send(Request(0, kEcho, c.name), true)), c.name);
    }
    EXPECT_TRUE(client->IsConnected());
}

TEST(SocketCalls, FrameSizeLimitGuardsBothDirections) {
    ipc2::Limits serverLimits;
    serverLimits.maxFrameSize = 4096;
    TestServer server(WithLimits(serverLimits));
    ipc2::Limits clientLimits;
    clientLimits.maxFrameSize = 1000;
    auto client = server.Connect(clientLimits);

    // A request of exactly the limit goes; one byte more is refused before anything is sent.
    EXPECT_EQ(Text(client->Send(Request(0, kEcho, std::string(991, 'x')), true)).size(), 991u);
    const std::string m =
        ThrownMessage<ipc2::LimitError>([&] { client->Send(Request(0, kEcho, std::string(992, 'x')), true); });
    EXPECT_TRUE(Contains(m, "request of 1001 bytes for object 0 method 1 exceeds the frame size limit of 1000 bytes"));
    EXPECT_TRUE(client->IsConnected());

    // The server does not send a reply beyond its own limit: it says why instead, as a limit.
    auto wide = server.Connect();
    EXPECT_TRUE(Contains(ThrownMessage<ipc2::LimitError>([&] { wide->Send(Request(0, kRepeat, Ints({5000})), true); }),
                         "reply of 5000 bytes for object 0 method 6 exceeds the frame size limit of 4096 bytes"));
    EXPECT_EQ(Text(wide->Send(Request(0, kEcho, "fine"), true)), "fine");

    // A reply beyond the client's own limit ends the client's connection.
    EXPECT_EQ(client->Send(Request(0, kRepeat, Ints({2000})), true), nullptr);
    EXPECT_FALSE(client->IsConnected());
    EXPECT_EQ(Text(wide->Send(Request(0, kEcho, "others go on"), true)), "others go on");
}

TEST(SocketCalls, RequestsOfNoWaitingCallRunOnABoundedPoolThenQueueThenAreRefused) {
    ipc2::Limits limits;
    limits.maxOutstandingCalls = 6;
    const int before = ThreadCount();
    TestServer server(WithLimits(limits));
    auto client = server.Connect();
    ASSERT_NE(client->Send(Request(0, kEcho, "warm"), true), nullptr);

    std::mutex mu;
    std::vector<std::string> results;
    std::vector<std::thread> callers;
    auto call = [&] {
        std::string r;
        try {
            r = Text(client->Send(Request(0, kBlock), true));
        } catch (const ipc2::LimitError& e) {
            r = e.what();
        }
        std::lock_guard<std::mutex> lk(mu);
        results.push_back(r);
    };
    for (int i = 0; i < 4; ++i) callers.emplace_back(call);
    ASSERT_TRUE(server.root->gate.WaitEntered(4));
    // Two more wait in the queue, the two after them are refused at once.
    for (int i = 0; i < 4; ++i) callers.emplace_back(call);
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lk(mu);
        return results.size() == 2;
    }));
    for (const auto& r : results) EXPECT_TRUE(Contains(r, "outstanding call limit of 6 reached"));
    {
        std::lock_guard<std::mutex> lk(server.root->gate.mu);
        EXPECT_EQ(server.root->gate.inside, 4);
    }
    // Eight callers, the accepting thread, and at most five threads for each end of the connection.
    EXPECT_LE(ThreadCount(), before + 8 + 1 + 2 * 5);

    server.root->gate.Open();
    for (auto& c : callers) c.join();
    EXPECT_EQ(std::count(results.begin(), results.end(), "released"), 6);
    EXPECT_EQ(server.root->gate.mostInside, 4);
}

TEST(SocketCalls, ClientServesCallsThatBelongToNoCallOfItsOwn) {
    // The server calls a client object from a thread of its own, outside any client call.
    BothWays c;
    ASSERT_NE(c.serverSide, nullptr);
    std::vector<std::thread> callers;
    std::atomic<int> ok{0};
    for (int t = 0; t < 6; ++t) {
        callers.emplace_back([&, t] {
            const std::string text = "to the client " + std::to_string(t);
            if (Text(c.serverSide->Send(Request(c.clientObject, kEcho, text), true)) == text) ++ok;
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(ok.load(), 6);
}

}  // namespace
}  // namespace sockettest
