// What a connection means, on both transports: connecting and agreeing, calls and their failures,
// nesting and its limit, references and their release, closing from either side, and which
// connector hears of a connection. A socket's end reaches the other side a moment later, so what
// the other side sees of it is waited for.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "doubles.h"
#include "transports.h"
#include "wait.h"

using namespace transport_test;

namespace {

// Each test serves under its own name: the table of servers is process-wide.
std::string UniqueName() {
    static std::atomic<int> next{0};
    return "transport-test-" + std::to_string(getpid()) + "-" + std::to_string(next++);
}

class Connections : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        name = UniqueName();
        server->Serve(name, &serverService);
    }
    void TearDown() override {
        root.reset();
        clientHandler.reset();
        server->Forget();
        EXPECT_TRUE(WaitUntil([] { return ServiceStub::alive.load() == 0; })) << "a stub outlived its connection";
    }

    // Connects by the transport under test.
    std::shared_ptr<ConnectionHandler> Connect(TestConnector& by, const std::string& to,
                                               std::vector<std::string> modules = {kModule}) {
        return by.Connect(to, std::move(modules), AddressFor(GetParam(), to));
    }
    // Connects and makes the root proxy, as a client of the binding does.
    void Open() {
        clientHandler = Connect(*client, name);
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

TEST_P(Connections, ConnectsToARegisteredNameAndGetsAReply) {
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

TEST_P(Connections, UnknownNameIsAConnectErrorNamingIt) {
    try {
        Connect(*client, "no-such-server-here");
        FAIL() << "connected to nothing";
    } catch (const ipc2::ConnectError& e) {
        EXPECT_NE(std::string(e.what()).find("no-such-server-here"), std::string::npos) << e.what();
    }
}

// Whatever goes wrong on the receiving side reaches the caller as a RemoteError that says which
// call failed and why, and the connection stays usable.
TEST_P(Connections, FailuresOnTheReceivingSideAreRemoteErrors) {
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
TEST_P(Connections, NestedCallbacksWorkToTheDepthLimit) {
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
TEST_P(Connections, ReleasesGoAtTheDepthLimit) {
    ipc2::Limits limits;
    limits.maxCallDepth = 1;
    server->SetLimits(limits);
    Open();
    EXPECT_EQ(root->Ping(0, &clientService), 0);
    EXPECT_EQ(clientHandler->GetStub(1), nullptr) << "the release made at the depth limit was lost";
}

TEST_P(Connections, DefaultLimitsAllowDeeperNesting) {
    Open();
    EXPECT_EQ(root->Ping(8, &clientService), 8);
    EXPECT_EQ(root->Ping(31, &clientService), 31);
    EXPECT_THROW(root->Ping(32, &clientService), ipc2::RemoteError);
}

// References passed back and forth are counted on both sides: once the last proxy is gone every
// stub the calls created has been released again.
TEST_P(Connections, ReferencesPassedInCallsAreReleasedAgain) {
    Open();
    EXPECT_EQ(root->Ping(5, &clientService), 5);
    EXPECT_EQ(clientHandler->GetStub(1), nullptr) << "the client's callback stub was never released";
    EXPECT_TRUE(clientHandler->IsConnected());
}

TEST_P(Connections, FrameSizeLimitRefusesALargeRequest) {
    ipc2::Limits limits;
    limits.maxFrameSize = 1000;
    server->SetLimits(limits);
    client->SetLimits(limits);
    Open();
    EXPECT_EQ(root->Echo(std::string(900, 'a')), std::string(900, 'a'));
    EXPECT_THROW(root->Call(kEcho, std::string(1000, 'a')), ipc2::LimitError);
}

TEST_P(Connections, CloseEndsTheConnectionOnBothSides) {
    Open();
    root->Ping(1, &clientService);
    auto serverHandler = ServerHandler();
    EXPECT_GE(ServiceStub::alive.load(), 1);

    clientHandler->Close();
    clientHandler->Close();
    EXPECT_FALSE(clientHandler->IsConnected());
    EXPECT_EQ(root->Call(kEcho, "x"), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return !serverHandler->IsConnected(); }));
    EXPECT_EQ(serverHandler->Send(root->Request(kEcho, 0), true), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return server->DisconnectedHandlers().size() == 1; }));
    EXPECT_EQ(serverHandler->GetStub(0), nullptr);
    EXPECT_EQ(ServiceStub::alive.load(), 0) << "stubs survived Close";
    ASSERT_EQ(server->DisconnectedHandlers().size(), 1u);
    EXPECT_EQ(server->DisconnectedHandlers()[0], serverHandler);
}

TEST_P(Connections, ServerClosingDuringACallMakesItLost) {
    Open();
    EXPECT_EQ(root->Call(kCloseConnection, ""), nullptr);
    EXPECT_FALSE(clientHandler->IsConnected());
    EXPECT_TRUE(WaitUntil([&] { return server->DisconnectedHandlers().size() == 1; }));
}

// A client whose last proxy is gone can never call again: the connection closes by itself and
// releases the server's stubs.
TEST_P(Connections, LastClientProxyGoneClosesTheConnection) {
    Open();
    root->Ping(2, &clientService);
    auto serverHandler = ServerHandler();
    root.reset();
    EXPECT_FALSE(clientHandler->IsConnected());
    EXPECT_TRUE(WaitUntil([&] { return server->DisconnectedHandlers().size() == 1; }));
    EXPECT_EQ(ServiceStub::alive.load(), 0);
    EXPECT_EQ(serverHandler->GetStub(0), nullptr);
}

TEST_P(Connections, ClientHandlerDroppedWithoutCloseEndsTheConnection) {
    clientHandler = Connect(*client, name);
    std::weak_ptr<ConnectionHandler> serverHandler = ServerHandler();
    clientHandler.reset();
    EXPECT_TRUE(WaitUntil([&] { return server->DisconnectedHandlers().size() == 1; }));
    server->Forget();
    EXPECT_TRUE(WaitUntil([&] { return serverHandler.expired(); })) << "the server end leaked";
    EXPECT_EQ(ServiceStub::alive.load(), 0);
}

// Whoever ends a connection, each end hears of it once, after its calls were let go and its
// stubs dropped, and may connect again from the callback; a callback registered late runs at once.
TEST_P(Connections, EachEndIsToldOnceOfTheEndWhoeverEndsIt) {
    for (const bool clientCloses : {true, false}) {
        SCOPED_TRACE(clientCloses ? "the client closes" : "the server closes");
        Open();
        root->Ping(1, &clientService);
        auto serverHandler = ServerHandler();
        std::atomic<int> clientTold{0};
        std::atomic<int> serverTold{0};
        std::atomic<bool> stubsGoneFirst{false};
        std::shared_ptr<ConnectionHandler> again;
        clientHandler->OnDisconnect([&] {
            stubsGoneFirst = clientHandler->GetStub(0) == nullptr && !clientHandler->IsConnected();
            again = Connect(*client, name);
            ++clientTold;
        });
        serverHandler->OnDisconnect([&] { ++serverTold; });
        if (clientCloses) {
            clientHandler->Close();
        } else {
            serverHandler->Close();
        }
        EXPECT_TRUE(WaitUntil([&] { return clientTold == 1 && serverTold == 1; }));
        EXPECT_TRUE(stubsGoneFirst);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(ProxyFor(again, 0)->Echo("again"), "again");

        int late = 0;
        clientHandler->OnDisconnect([&] { ++late; });
        EXPECT_EQ(late, 1) << "a callback registered after the end runs at once";
        clientHandler->Close();
        EXPECT_EQ(clientTold, 1);
        again->Close();
        root.reset();
        clientHandler.reset();
        EXPECT_TRUE(WaitUntil([] { return ServiceStub::alive.load() == 0; }));
    }
}

TEST_P(Connections, ConnectionsAreIndependent) {
    Open();
    auto second = Connect(*client, name);
    auto secondRoot = ProxyFor(second, 0);
    ASSERT_EQ(server->ConnectedHandlers().size(), 2u);
    EXPECT_NE(server->ConnectedHandlers()[0], server->ConnectedHandlers()[1]);
    second->Close();
    EXPECT_EQ(secondRoot->Call(kEcho, "x"), nullptr);
    EXPECT_EQ(root->Echo("first"), "first");
}

TEST_P(Connections, RegistrationRules) {
    auto other = TestConnector::Create();
    Service otherService;
    EXPECT_THROW(other->Serve(name, &otherService, true), ipc2::ConnectError);

    Open();
    other->Serve(name, &otherService, false);  // not exclusive: takes the name over
    auto handler = Connect(*other, name);
    EXPECT_EQ(other->ConnectedHandlers().size(), 1u);
    EXPECT_EQ(other->ConnectedHandlers()[0]->GetStub(0)->GetObject(), &otherService);

    // The replaced server's unregistering does not remove the new one's name.
    server->StopServing();
    EXPECT_NO_THROW(Connect(*client, name));
    other->StopServing();
    other->StopServing();
    EXPECT_THROW(Connect(*client, name), ipc2::ConnectError);
    EXPECT_EQ(root->Echo("open connections stay"), "open connections stay");
}

TEST_P(Connections, DestroyedServerGivesUpItsNameButServesOpenConnections) {
    Open();
    server.reset();
    EXPECT_THROW(Connect(*client, name), ipc2::ConnectError);
    EXPECT_EQ(root->Echo("still served"), "still served");
    server = TestConnector::Create();  // for TearDown
}

TEST_P(Connections, IncompatibleProtocolsAreRefused) {
    server->Checksum("abc");
    server->Serve(name, &serverService);
    client->Checksum("abd");
    const std::string what = MessageOf([&] { Connect(*client, name); });
    EXPECT_NE(what.find("speaks protocol abc, the client abd"), std::string::npos) << what;
    client->Checksum("abc");
    EXPECT_NE(Connect(*client, name), nullptr);
    // A client that sets no checksum does not check.
    client->Checksum("");
    EXPECT_NE(Connect(*client, name), nullptr);
}

// The connection's module list is the server's: a client may ask for some of its modules, in any
// order, and both ends number them by the server's list; a module the server does not serve
// refuses the client.
TEST_P(Connections, ModulesAreNumberedByTheServersList) {
    const std::string wide = name + "-wide";
    server->Serve(wide, &serverService, true, {"first", kModule});
    auto handler = Connect(*client, wide, {kModule});
    EXPECT_EQ(handler->GetModuleId(kModule), 1);
    EXPECT_EQ(server->ConnectedHandlers().back()->GetModuleId(kModule), 1);
    EXPECT_EQ(ProxyFor(handler, 0)->Echo("numbered alike"), "numbered alike");
    EXPECT_NE(Connect(*client, wide, {kModule, "first"}), nullptr);

    const std::string what = MessageOf([&] { Connect(*client, wide, {kModule, "other"}); });
    EXPECT_NE(what.find("module 'other' is not served here"), std::string::npos) << what;
}

// A connection outlives the registration it arrived under: its end is told to the connector that
// admitted it, not to whichever serves the name by then.
TEST_P(Connections, TheEndOfAConnectionGoesToTheConnectorThatAdmittedIt) {
    auto clientEnd = Connect(*client, name);
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

TEST_P(Connections, FailingRootFactoryIsAConnectError) {
    const std::string broken = name + "-broken";
    server->Serve(broken, &serverService, true, {kModule},
                  [](void*, int, std::shared_ptr<ConnectionHandler>) -> std::shared_ptr<ipc2::IStub> {
                      throw std::runtime_error("no root today");
                  });
    const std::string what = MessageOf([&] { Connect(*client, broken); });
    EXPECT_NE(what.find("no root today"), std::string::npos) << what;
    EXPECT_TRUE(server->ConnectedHandlers().empty());
}

TEST_P(Connections, ServerListensUnderOneNameAtATime) {
    const std::string moved = name + "-moved";
    server->Serve(moved, &serverService);
    EXPECT_THROW(Connect(*client, name), ipc2::ConnectError);
    EXPECT_NO_THROW(Connect(*client, moved));
}

// Several threads calling over one connection, opening and closing others: for the thread
// sanitizer's eyes.
TEST_P(Connections, ConcurrentCallsAndConnections) {
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
                    auto handler = Connect(*client, name);
                    auto proxy = ProxyFor(handler, 0);
                    if (proxy->Echo(text) != text) ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Transports, Connections, kBothTransports, TransportName);

}  // namespace
