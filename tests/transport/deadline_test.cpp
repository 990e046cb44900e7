// Deadlines, on both transports: where a call's deadline comes from, what a caller gets when it
// passes, and that the connection goes on. Over a socket the caller is let go at its deadline; in
// this process the call runs on the caller's thread, so it returns when the implementation does
// and throws all the same. Timed expectations keep wide margins: the precise figures are a
// benchmark's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "doubles.h"
#include "transports.h"
#include "wait.h"

using namespace transport_test;
using namespace std::chrono_literals;

namespace {

class Deadlines : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        static std::atomic<int> serial{0};
        name = "deadline-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
        server->Serve(name, &service);
    }
    void TearDown() override {
        root.reset();
        handler.reset();
        // A call given up on may still run in the service: the test ends once it has, and the
        // service has let go of the connection, so that no thread of it outlives the test.
        EXPECT_TRUE(WaitUntil([&] { return service.sleeping.load() == 0; }, 10s));
        EXPECT_TRUE(WaitUntil([&] { return server->DisconnectedHandlers().size() == server->ConnectedHandlers().size(); }));
    }
    void Open() {
        handler = client->Connect(name, {kModule}, AddressFor(GetParam(), name));
        root = ProxyFor(handler, 0);
    }
    bool OverSocket() const { return GetParam() == Transport::Socket; }

    std::string name;
    Service service;
    std::shared_ptr<TestConnector> server = TestConnector::Create();
    std::shared_ptr<TestConnector> client = TestConnector::Create();
    std::shared_ptr<ConnectionHandler> handler;
    std::shared_ptr<ServiceProxy> root;
};

std::string DeadlineMessage(const std::function<void()>& call) {
    try {
        call();
    } catch (const ipc2::DeadlineError& e) {
        return e.what();
    }
    return "(no DeadlineError)";
}

TEST_P(Deadlines, ACallPastItsDeadlineThrowsAndTheConnectionGoesOn) {
    Open();
    const auto start = ipc2::Clock::now();
    const std::string what = DeadlineMessage([&] {
        ipc2::CallDeadline deadline(200ms);
        root->CallInt(kSleep, OverSocket() ? 1500 : 400);
    });
    const auto took = ipc2::Clock::now() - start;
    EXPECT_NE(what.find("object 0 method 8"), std::string::npos) << what;
    EXPECT_NE(what.find("deadline of 200 ms"), std::string::npos) << what;
    EXPECT_NE(what.find("'" + name + "'"), std::string::npos) << what;
    if (OverSocket()) {
        EXPECT_LT(took, 1200ms) << "the caller waited for the late answer";
    }
    // The connection goes on, also once the late answer has come and been dropped.
    EXPECT_EQ(root->Echo("on"), "on");
    std::this_thread::sleep_for(OverSocket() ? 1500ms : 0ms);
    EXPECT_EQ(root->Echo("still on"), "still on");
    EXPECT_TRUE(handler->IsConnected());
}

// A call made when its deadline has passed already is not made at all.
TEST_P(Deadlines, ACallWhoseDeadlineHasPassedIsNotMade) {
    Open();
    ipc2::CallDeadline passed(ipc2::Clock::now() - 1ms);
    EXPECT_THROW(root->CallInt(kSleep, 1), ipc2::DeadlineError);
}

// The implementation sees its caller's deadline, which its own calls inherit: across processes,
// the time left travels with the request.
TEST_P(Deadlines, TheImplementationSeesWhatIsLeftOfItsCallersTime) {
    Open();
    {
        ipc2::CallDeadline deadline(5s);
        const int left = root->CallInt(kRemaining, 0);
        EXPECT_GT(left, 4000);
        EXPECT_LE(left, 5000);
    }
    // Nested scopes: the earliest deadline wins.
    {
        ipc2::CallDeadline outer(2s);
        ipc2::CallDeadline inner(10s);
        EXPECT_LE(root->CallInt(kRemaining, 0), 2000);
    }
    // Without a deadline of its own a call over a socket has its connection's timeout; in this
    // process, where no peer can hold it, none.
    const int left = root->CallInt(kRemaining, 0);
    if (OverSocket()) {
        EXPECT_GT(left, ipc2::Limits{}.callTimeoutMs - 1000);
        EXPECT_LE(left, ipc2::Limits{}.callTimeoutMs);
    } else {
        EXPECT_EQ(left, -1);
    }
}

TEST_P(Deadlines, AConnectionsCallTimeoutBoundsEveryCallOnIt) {
    Open();
    handler->SetCallTimeout(200ms);
    const std::string what = DeadlineMessage([&] { root->CallInt(kSleep, OverSocket() ? 1500 : 400); });
    EXPECT_NE(what.find("deadline of 200 ms"), std::string::npos) << what;
    EXPECT_EQ(root->CallInt(kSleep, 1), 1);
}

// The connector's limits give a socket connection its default timeout.
TEST_P(Deadlines, TheLimitsGiveTheDefaultTimeout) {
    ipc2::Limits limits;
    limits.callTimeoutMs = 200;
    client->SetLimits(limits);
    Open();
    if (OverSocket()) {
        EXPECT_NE(DeadlineMessage([&] { root->CallInt(kSleep, 1500); }).find("deadline of 200 ms"), std::string::npos);
    } else {
        EXPECT_EQ(root->CallInt(kSleep, 400), 400);
    }
}

// A caller that gives up tells the implementation (over a socket by a cancel frame, at once), which
// sees it and whose own calls fail at once from then on.
TEST_P(Deadlines, TheImplementationLearnsThatItsCallerGaveUp) {
    Open();
    const auto start = ipc2::Clock::now();
    EXPECT_THROW(
        {
            ipc2::CallDeadline deadline(200ms);
            root->CallInt(kAwaitCancel, 0);
        },
        ipc2::DeadlineError);
    EXPECT_TRUE(WaitUntil([&] { return service.cancelOutcome.load() != 0; }, 5s));
    EXPECT_EQ(service.cancelOutcome.load(), 3) << "1: never told; 2: its nested call was made";
    EXPECT_LT(ipc2::Clock::now() - start, 2s);
    EXPECT_EQ(root->Echo("on"), "on");
}

INSTANTIATE_TEST_SUITE_P(Transports, Deadlines, kBothTransports, TransportName);

}  // namespace
