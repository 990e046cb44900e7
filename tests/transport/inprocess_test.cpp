#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "doubles.h"
#include "socket/transport.h"
#include "wait.h"

using namespace transport_test;

namespace {

// Each test serves under its own name: the table of servers is process-wide.
std::string UniqueName() {
    static std::atomic<int> next{0};
    return "transport-test-" + std::to_string(getpid()) + "-" + std::to_string(next++);
}

class InProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        name = UniqueName();
        server->Serve(name, &serverService);
    }
    void TearDown() override {
        root.reset();
        clientHandler.reset();
        server->Forget();
        EXPECT_EQ(ServiceStub::alive.load(), 0) << "a stub outlived its connection";
    }

    // Connects and makes the root proxy, as a client of the binding does.
    void Open() {
        clientHandler = client->Connect(name);
        root = ProxyFor(clientHandler, 0);
    }
    std::shared_ptr<ConnectionHandler> ServerHandler() const {
        auto handlers = server->ConnectedHandlers();
        return handlers.empty() ? nullptr : handlers.back();
    }

    std::string name;
    Service serverService;
    Service clientService;
    std::shared_ptr<TestConnector> server = TestConnector::Create();
    std::shared_ptr<TestConnector> client = TestConnector::Create();
    std::shared_ptr<ConnectionHandler> clientHandler;
    std::shared_ptr<ServiceProxy> root;
};

std::string MessageOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

TEST_F(InProcessTest, ConnectsToARegisteredNameAndGetsAReply) {
    Open();
    auto serverHandler = ServerHandler();
    ASSERT_NE(serverHandler, nullptr) << "ClientConnected was not called";
    EXPECT_TRUE(serverHandler->IsServer());
    EXPECT_FALSE(clientHandler->IsServer());
    EXPECT_TRUE(clientHandler->IsConnected());
    EXPECT_NE(serverHandler->GetStub(0), nullptr) << "no root stub";
    EXPECT_EQ(serverHandler->GetStub(0)->GetObject(), &serverService);

    EXPECT_EQ(root->Echo("hello"), "hello");
    const std::string large(100000, 'x');
    EXPECT_EQ(root->Echo(large), large);

    auto credentials = clientHandler->GetPeerCredentials();
    EXPECT_EQ(credentials.pid, getpid());
    EXPECT_EQ(credentials.uid, getuid());
    EXPECT_EQ(credentials.gid, getgid());
}

TEST_F(InProcessTest, UnknownNameIsAConnectErrorNamingIt) {
    try {
        client->Connect("no-such-server-here");
        FAIL() << "connected to nothing";
    } catch (const ipc2::ConnectError& e) {
        EXPECT_NE(std::string(e.what()).find("'no-such-server-here'"), std::string::npos) << e.what();
    }
}

// Whatever goes wrong on the receiving side reaches the caller as a RemoteError that says which
// call failed and why, and the connection stays usable.
TEST_F(InProcessTest, FailuresOnTheReceivingSideAreRemoteErrors) {
    Open();
    struct Case {
        const char* name;
        std::function<void()> call;
        std::vector<std::string> mentions;
    };
    const Case cases[] = {
        {"unknown object id",
         [&] {
             auto stray = std::make_shared<ServiceProxy>(77, clientHandler);
             stray->Echo("x");
         },
         {"77"}},
        {"implementation exception", [&] { root->Call(kFail, ""); }, {"object 0", "method 2", "boom"}},
        {"no reply", [&] { root->Call(kNoReply, ""); }, {"no reply", "object 0", "method 3"}},
        {"undecodable request", [&] { clientHandler->Send(root->Request(kEcho, 0), true); }, {"method 1"}},
        {"request shorter than an id", [&] { clientHandler->Send(std::make_shared<ByteStream>("\1", 1), true); }, {}},
    };
    for (const Case& c : cases) {
        std::string what;
        try {
            c.call();
            ADD_FAILURE() << c.name << ": no error";
        } catch (const ipc2::RemoteError& e) {
            what = e.what();
        } catch (const std::exception& e) {
            ADD_FAILURE() << c.name << ": not a RemoteError: " << e.what();
        }
        for (const std::string& m : c.mentions) EXPECT_NE(what.find(m), std::string::npos) << c.name << ": " << what;
        EXPECT_EQ(root->Echo("still there"), "still there") << c.name;
    }
}

// Calls nest in both directions on one thread: server stub -> client proxy -> client stub ->
// server proxy -> ... The configured depth is reachable, the call past it fails with LimitError
// where it is made, and the callers see that as RemoteErrors.
TEST_F(InProcessTest, NestedCallbacksWorkToTheDepthLimit) {
    ipc2::Limits limits;
    limits.maxCallDepth = 8;
    server->SetLimits(limits);
    Open();

    EXPECT_EQ(root->Ping(7, &clientService), 7);  // 8 calls deep
    EXPECT_EQ(serverService.limitErrorsSeen + clientService.limitErrorsSeen, 0);

    const std::string what = MessageOf([&] { root->Ping(8, &clientService); });
    EXPECT_NE(what.find("call depth limit of 8"), std::string::npos) << what;
    EXPECT_EQ(serverService.limitErrorsSeen + clientService.limitErrorsSeen, 1);
    EXPECT_THROW(root->Ping(8, &clientService), ipc2::RemoteError);

    // The failed chains left no depth behind on this thread.
    EXPECT_EQ(root->Ping(7, &clientService), 7);
}

// A release is no nested call: a proxy let go at the deepest level allowed still gives its
// references back. Here the server's proxy of the client's object, made and let go by the call
// at depth 1 of 1.
TEST_F(InProcessTest, ReleasesGoAtTheDepthLimit) {
    ipc2::Limits limits;
    limits.maxCallDepth = 1;
    server->SetLimits(limits);
    Open();
    EXPECT_EQ(root->Ping(0, &clientService), 0);
    EXPECT_EQ(clientHandler->GetStub(1), nullptr) << "the release made at the depth limit was lost";
}

TEST_F(InProcessTest, DefaultLimitsAllowDeeperNesting) {
    Open();
    EXPECT_EQ(root->Ping(8, &clientService), 8);
    EXPECT_EQ(root->Ping(31, &clientService), 31);
    EXPECT_THROW(root->Ping(32, &clientService), ipc2::RemoteError);
}

// References passed back and forth are counted on both sides: once the last proxy is gone every
// stub the calls created has been released again.
TEST_F(InProcessTest, ReferencesPassedInCallsAreReleasedAgain) {
    Open();
    EXPECT_EQ(root->Ping(5, &clientService), 5);
    EXPECT_EQ(clientHandler->GetStub(1), nullptr) << "the client's callback stub was never released";
    EXPECT_TRUE(clientHandler->IsConnected());
}

TEST_F(InProcessTest, FrameSizeLimitRefusesALargeRequest) {
    ipc2::Limits limits;
    limits.maxFrameSize = 1000;
    server->SetLimits(limits);
    Open();
    EXPECT_EQ(root->Echo(std::string(900, 'a')), std::string(900, 'a'));
    EXPECT_THROW(root->Call(kEcho, std::string(1000, 'a')), ipc2::LimitError);
}

TEST_F(InProcessTest, CloseEndsTheConnectionOnBothSides) {
    Open();
    root->Ping(1, &clientService);
    auto serverHandler = ServerHandler();
    EXPECT_GE(ServiceStub::alive.load(), 1);

    clientHandler->Close();
    clientHandler->Close();
    EXPECT_FALSE(clientHandler->IsConnected());
    EXPECT_FALSE(serverHandler->IsConnected());
    EXPECT_EQ(root->Call(kEcho, "x"), nullptr);
    EXPECT_EQ(serverHandler->Send(root->Request(kEcho, 0), true), nullptr);
    EXPECT_EQ(serverHandler->GetStub(0), nullptr);
    EXPECT_EQ(ServiceStub::alive.load(), 0) << "stubs survived Close";
    ASSERT_EQ(server->DisconnectedHandlers().size(), 1u);
    EXPECT_EQ(server->DisconnectedHandlers()[0], serverHandler);
}

TEST_F(InProcessTest, ServerClosingDuringACallMakesItLost) {
    Open();
    EXPECT_EQ(root->Call(kCloseConnection, ""), nullptr);
    EXPECT_FALSE(clientHandler->IsConnected());
    EXPECT_EQ(server->DisconnectedHandlers().size(), 1u);
}

// A client whose last proxy is gone can never call again: the connection closes by itself and
// releases the server's stubs.
TEST_F(InProcessTest, LastClientProxyGoneClosesTheConnection) {
    Open();
    root->Ping(2, &clientService);
    auto serverHandler = ServerHandler();
    root.reset();
    EXPECT_FALSE(clientHandler->IsConnected());
    EXPECT_EQ(ServiceStub::alive.load(), 0);
    EXPECT_EQ(server->DisconnectedHandlers().size(), 1u);
    EXPECT_EQ(serverHandler->GetStub(0), nullptr);
}

TEST_F(InProcessTest, ClientHandlerDroppedWithoutCloseEndsTheConnection) {
    clientHandler = client->Connect(name);
    std::weak_ptr<ConnectionHandler> serverHandler = ServerHandler();
    clientHandler.reset();
    EXPECT_EQ(server->DisconnectedHandlers().size(), 1u);
    server->Forget();
    EXPECT_TRUE(serverHandler.expired()) << "the server end leaked";
    EXPECT_EQ(ServiceStub::alive.load(), 0);
}

TEST_F(InProcessTest, ConnectionsAreIndependent) {
    Open();
    auto second = client->Connect(name);
    auto secondRoot = ProxyFor(second, 0);
    ASSERT_EQ(server->ConnectedHandlers().size(), 2u);
    EXPECT_NE(server->ConnectedHandlers()[0], server->ConnectedHandlers()[1]);
    second->Close();
    EXPECT_EQ(secondRoot->Call(kEcho, "x"), nullptr);
    EXPECT_EQ(root->Echo("first"), "first");
}

TEST_F(InProcessTest, RegistrationRules) {
    auto other = TestConnector::Create();
    Service otherService;
    EXPECT_THROW(other->Serve(name, &otherService, true), ipc2::ConnectError);

    Open();
    other->Serve(name, &otherService, false);  // not exclusive: takes the name over
    auto handler = other->Connect(name);
    EXPECT_EQ(other->ConnectedHandlers().size(), 1u);
    EXPECT_EQ(other->ConnectedHandlers()[0]->GetStub(0)->GetObject(), &otherService);

    // The replaced server's unregistering does not remove the new one's name.
    server->StopServing();
    EXPECT_NO_THROW(client->Connect(name));
    other->StopServing();
    other->StopServing();
    EXPECT_THROW(client->Connect(name), ipc2::ConnectError);
    EXPECT_EQ(root->Echo("open connections stay"), "open connections stay");
}

TEST_F(InProcessTest, DestroyedServerGivesUpItsNameButServesOpenConnections) {
    Open();
    server.reset();
    EXPECT_THROW(client->Connect(name), ipc2::ConnectError);
    EXPECT_EQ(root->Echo("still served"), "still served");
    server = TestConnector::Create();  // for TearDown
}

TEST_F(InProcessTest, IncompatibleProtocolsAreRefused) {
    server->Checksum("abc");
    server->Serve(name, &serverService);
    // In this process, and through the server's socket as another process would come.
    for (const std::string& address : {std::string(), ipc2::socket::DefaultSocketPath(name)}) {
        SCOPED_TRACE(address.empty() ? "in-process" : "socket");
        client->Checksum("abd");
        const std::string what = MessageOf([&] { client->Connect(name, {kModule}, address); });
        EXPECT_NE(what.find("speaks protocol abc, the client abd"), std::string::npos) << what;
        client->Checksum("abc");
        EXPECT_NE(client->Connect(name, {kModule}, address), nullptr);
        // A client that sets no checksum does not check.
        client->Checksum("");
        EXPECT_NE(client->Connect(name, {kModule}, address), nullptr);

        EXPECT_THROW(client->Connect(name, {"other"}, address), ipc2::ConnectError);
    }
    // The server's end of a socket connection lets go of its stubs on its own thread.
    EXPECT_TRUE(WaitUntil([] { return ServiceStub::alive.load() == 0; }));
}

// A socket connection outlives the registration it arrived under: its end is told to the
// connector that was told of its start, not to whichever serves the name by then.
TEST_F(InProcessTest, TheEndOfASocketConnectionGoesToTheConnectorThatSawItsStart) {
    auto clientEnd = client->Connect(name, {kModule}, ipc2::socket::DefaultSocketPath(name));
    ASSERT_EQ(server->ConnectedHandlers().size(), 1u);
    server->StopServing();
    auto successor = TestConnector::Create();
    successor->Serve(name, &serverService);
    clientEnd->Close();
    EXPECT_TRUE(WaitUntil([&] { return server->DisconnectedHandlers().size() == 1; }));
    EXPECT_EQ(server->DisconnectedHandlers()[0], server->ConnectedHandlers()[0]);
    EXPECT_TRUE(successor->DisconnectedHandlers().empty());
    successor->StopServing();
}

TEST_F(InProcessTest, FailingRootFactoryIsAConnectError) {
    const std::string broken = name + "-broken";
    server->Serve(broken, &serverService, true, {kModule},
                  [](void*, int, std::shared_ptr<ConnectionHandler>) -> std::shared_ptr<ipc2::IStub> {
                      throw std::runtime_error("no root today");
                  });
    const std::string what = MessageOf([&] { client->Connect(broken); });
    EXPECT_NE(what.find("no root today"), std::string::npos) << what;
    EXPECT_TRUE(server->ConnectedHandlers().empty());
}

TEST_F(InProcessTest, ServerListensUnderOneNameAtATime) {
    const std::string moved = name + "-moved";
    server->Serve(moved, &serverService);
    EXPECT_THROW(client->Connect(name), ipc2::ConnectError);
    EXPECT_NO_THROW(client->Connect(moved));
}

// Several threads calling over one connection, opening and closing others: for the thread
// sanitizer's eyes.
TEST_F(InProcessTest, ConcurrentCallsAndConnections) {
    Open();
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            Service mine;
            for (int i = 0; i < 200; ++i) {
                const std::string text = std::to_string(t) + ":" + std::to_string(i);
                if (root->Echo(text) != text) ++wrong;
                if (root->Ping(3, &mine) != 3) ++wrong;
                if (i % 20 == 0) {
                    auto handler = client->Connect(name);
                    auto proxy = ProxyFor(handler, 0);
                    if (proxy->Echo(text) != text) ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
