// One-way requests, which carry a proxy's release: nothing answers them and nobody waits for them,
// but they keep their place among the frames of the thread that sent them.
#include <gtest/gtest.h>

#include "server.h"
#include "trace/trace.h"

namespace sockettest {
namespace {

std::string OneWay(std::uint64_t chain, int method, const std::string& args = {}) {
    std::string p;
    Le(p, 0, 4);  // the root object
    p.push_back(0);
    Le(p, static_cast<std::uint32_t>(method), 4);
    return RawFrame(1, 0, chain, 1, p + args, 0x01);
}

TEST(SocketOneWay, NothingAnswersThemAndTheyRunInOrder) {
    trace::ScopedLevel level(1);
    trace::Capture capture;
    TestServer server;
    auto peer = RawPeer::Dial(server.Path());
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(peer->Handshake());
    // A one-way count, a one-way failure, then a call: the only frame back is the call's reply,
    // and the count ran before it.
    ASSERT_TRUE(peer->Send(OneWay(2, kCount) + OneWay(4, kThrow, "x") + RawRequest(9, 6, 1, 0, kCount, "")));
    RawHeader h;
    std::string payload;
    ASSERT_TRUE(peer->ReadFrame(h, payload));
    EXPECT_EQ(h.kind, 2);
    EXPECT_EQ(h.callId, 9u);
    EXPECT_EQ(payload, std::string("\x02\0\0\0", 4));
    EXPECT_TRUE(WaitUntil([&] {
        for (const auto& r : capture.Records()) {
            if (r.text.find("a one-way request failed: object 0 method 2 failed: refused: x") != std::string::npos) return true;
        }
        return false;
    }));
    // The failure cost the connection nothing.
    ASSERT_TRUE(peer->Send(RawRequest(10, 8, 1, 0, kEcho, "on")));
    ASSERT_TRUE(peer->ReadFrame(h, payload));
    EXPECT_EQ(h.callId, 10u);
    EXPECT_EQ(payload, "on");
}

TEST(SocketOneWay, PostedWhileServingReachesThePeerBeforeTheReply) {
    TestServer server;
    auto clientImpl = std::make_shared<Impl>();
    auto client = server.Connect({}, std::make_shared<TestReceiver>());
    const int clientObject = AddStub(client, clientImpl);
    for (int i = 1; i <= 20; ++i) {
        EXPECT_EQ(Text(client->Send(Request(0, kPost, Ints({clientObject, kCount})), true)), "posted");
        EXPECT_EQ(clientImpl->count.load(), i);  // it ran before the call returned
    }
    // Posted outside any request, it goes out at once, with no call to carry it.
    client->Post(Request(0, kCount), true);
    EXPECT_TRUE(WaitUntil([&] { return server.root->count.load() == 1; }));
    // After the connection is gone a post is dropped quietly.
    client->Close();
    EXPECT_NO_THROW(client->Post(Request(0, kCount), true));
}

}  // namespace
}  // namespace sockettest
