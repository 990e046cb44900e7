// What a proxy puts on the wire for each method, and what it does when the connection is gone.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "method_table.h"
#include "trace/trace.h"

namespace aai_test {
namespace {

constexpr int kObjectId = 0x01020304;

std::string Ns(const std::string& name) { return "zel::iface::aai::" + name; }

std::string LostText(const MethodRow& row) {
    return "The connection was lost unexpectedly during method call but '" + row.interface.substr(1) + "." +
           row.method + "' has a return value or out params!";
}

// The caller of an interface's methods sits on the side opposite its home.
std::shared_ptr<RecordingHandler> CallerOf(const std::string& interface) {
    return RecordingHandler::Make(!InterfaceNamed(interface).homeIsService);
}

TEST(MethodTable, BlocksAreContiguousAndFlagsMatchTheListOfSecrets) {
    // The ids whose messages carry secrets, as the call protocol lists them in one place; the
    // per-interface tables above were typed separately and must agree with it.
    const std::set<int> secret = {17, 18, 19, 20, 44, 46, 52, 57, 58, 61, 62, 64, 65, 82,
                                  84, 85, 96, 97, 138, 139, 141, 142, 144, 145, 147, 148};
    std::set<int> clearedInTable;
    int expected = 2;  // after the connect request (0) and the root's release (1)
    std::string interface = "IAAService";
    for (const auto& row : Methods()) {
        if (row.interface != interface) {
            EXPECT_EQ(InterfaceNamed(interface).lastId, expected - 1) << interface;
            interface = row.interface;
            EXPECT_EQ(InterfaceNamed(interface).releaseId, expected) << interface;
            ++expected;
        }
        EXPECT_EQ(row.id, expected++) << row.interface << "." << row.method;
        if (!row.sendFlag) clearedInTable.insert(row.id);
    }
    EXPECT_EQ(InterfaceNamed(interface).lastId, 176);
    EXPECT_EQ(clearedInTable, secret);
    EXPECT_EQ(Interfaces().size(), 29u);
}

// Every method of every proxy: header, id, Send flag, exact allocation, the reply freed, and for a
// lost connection the report of a method with a result (thrown: no made-up result reaches the
// caller) and silence for a void one. Every proxy then releases its object when it goes.
TEST(ProxyCalls, EveryMethodSendsItsIdAndFlagAndHandlesALostConnection) {
    const auto brokers = aai::MakeInterfaceBrokers();
    for (const auto& row : Methods()) {
        SCOPED_TRACE(row.interface + "." + row.method);
        const auto& iface = InterfaceNamed(row.interface);
        auto handler = CallerOf(row.interface);
        trace::Capture capture;

        std::string thrown;
        try {
            row.invoker.call(handler, brokers, kObjectId);
        } catch (const trace::FatalError& e) {
            thrown = e.what();
        }
        EXPECT_EQ(thrown, row.hasResult ? LostText(row) : std::string());

        EXPECT_EQ(row.invoker.returnsValue, row.hasResult);
        ASSERT_EQ(handler->sent.size(), 2u);
        const Bytes& request = handler->sent[0].bytes;
        ASSERT_GE(request.size(), 9u);
        EXPECT_EQ(ReadLe32At(request, 0), kObjectId);
        EXPECT_EQ(request[4], kModuleByte);
        EXPECT_EQ(ReadLe32At(request, 5), row.id);
        EXPECT_EQ(handler->sent[0].sendFlag, row.sendFlag);
        EXPECT_EQ(handler->allocated.at(0), static_cast<int>(request.size()));
        EXPECT_EQ(handler->moduleQueries, std::vector<std::string>{"aai"});

        const auto reports = capture.FatalReports();
        if (row.hasResult) {
            ASSERT_EQ(reports.size(), 1u);
            EXPECT_EQ(reports[0].text, LostText(row));
            EXPECT_EQ(reports[0].function, Ns(row.interface.substr(1) + "Proxy::" + row.method));
            EXPECT_EQ(reports[0].category, 1);
            EXPECT_EQ(reports[0].code, 11504);
            EXPECT_EQ(reports[0].component, "AAI");
        } else {
            EXPECT_TRUE(reports.empty()) << reports[0].text;
        }

        // The release when the proxy went: 13 bytes, the whole count (1), flag true.
        EXPECT_EQ(handler->sent[1].bytes, Bytes(Wire().Header(kObjectId, iface.releaseId).Int(1)));
        EXPECT_TRUE(handler->sent[1].sendFlag);
        EXPECT_EQ(handler->removed, std::vector<int>{kObjectId});
        // Both replies were absent and both were given back.
        EXPECT_EQ(handler->frees, 2);
        EXPECT_EQ(handler->nullFrees, 2);
        handler->Close();
    }
}

// The bytes a proxy sends. Its handler answers nothing: the lost results are reported and, here,
// returned from.
// The bytes a proxy sends. Its handler answers nothing: the lost results are reported and, here,
// returned from.
class ProxyBytes : public ::testing::Test {
protected:
    const trace::ScopedFatalPolicy returning_{trace::FatalPolicy::Return};

    template <class IX>
    std::shared_ptr<IX> Proxy(const std::shared_ptr<RecordingHandler>& handler, int objectId = 7) {
        return MakeProxy<IX>(objectId, handler, brokers);
    }
    Bytes Request(const std::shared_ptr<RecordingHandler>& handler) {
        EXPECT_FALSE(handler->sent.empty());
        return handler->sent.empty() ? Bytes() : handler->sent.front().bytes;
    }

    void TearDown() override {
        client->Close();
        server->Close();
    }

    Brokers brokers = aai::MakeInterfaceBrokers();
    std::shared_ptr<RecordingHandler> client = RecordingHandler::Make(false);
    std::shared_ptr<RecordingHandler> server = RecordingHandler::Make(true);
};

struct Done : aai::IReplyHandler {
    void onDone() override {}
};
struct SmartCardReply : aai::ITestSmartCardReplyHandler {
    void onTestSmartCardResult(const aai::TestSmartCardResult&) override {}
};

TEST_F(ProxyBytes, HeaderOnlyRequests) {
    Proxy<aai::IUsersAndGroupsServer>(client, kObjectId)->isAnyUserAllowedToAccessJob();
    EXPECT_EQ(Request(client), Bytes({0x04, 0x03, 0x02, 0x01, kModuleByte, 0x3B, 0x00, 0x00, 0x00}));

    Proxy<aai::IReplyHandler>(server, 9)->onDone();
    EXPECT_EQ(Request(server), Bytes({0x09, 0x00, 0x00, 0x00, kModuleByte, 0x80, 0x00, 0x00, 0x00}));
}

TEST_F(ProxyBytes, TestSmartCardKeepsItsEightArgumentsInOrder) {
    auto reply = std::make_shared<SmartCardReply>();
    Proxy<aai::IUsersAndGroupsServer>(client)->testSmartCard("reader", "1234", "corp", true, false, -2, "u@corp", reply);

    const Bytes request = Request(client);
    ASSERT_EQ(request.size(), 9u + 10 + 8 + 8 + 1 + 1 + 4 + 10 + 4);
    const std::int32_t handlerId = ReadLe32At(request, request.size() - 4);
    EXPECT_EQ(request, Bytes(Wire()
                                 .Header(7, 82)
                                 .String("reader")
                                 .String("1234")
                                 .String("corp")
                                 .Bool(true)
                                 .Bool(false)
                                 .Int(-2)
                                 .String("u@corp")
                                 .Int(handlerId)));
    EXPECT_FALSE(client->sent.front().sendFlag);
    // The handler lives in the client: sending it made a stub for it there, under that id.
    auto stub = client->GetStub(handlerId);
    ASSERT_TRUE(stub);
    EXPECT_EQ(stub->GetObject(), static_cast<aai::ITestSmartCardReplyHandler*>(reply.get()));
}

TEST_F(ProxyBytes, CardStatusChangedSendsTheStatusTheIdAndTheUsers) {
    Proxy<aai::IUsersAndGroupsNotifications>(server)->cardStatusChanged(aai::CARDSTATUS_REMOVED, "card-1",
                                                                      aai::CardUserList{});
    EXPECT_EQ(Request(server), Bytes(Wire().Header(7, 99).Int(3).String("card-1").Int(0)));
    EXPECT_TRUE(server->sent.front().sendFlag);
}

TEST_F(ProxyBytes, OnTestDomainResultSendsItsNineValuesInOrder) {
    aai::DomainGroup group("admins", "the admins", "cn=admins");
    Proxy<aai::ITestDomainReplyHandler>(server)->onTestDomainResult(
        aai::DOMAINOPERATIONRESULT_SUCCESS, "dc1", 389, "dc=corp", aai::DOMAINOPERATIONRESULT_SERVER_BUSY, 12, group,
        aai::DOMAINOPERATIONRESULT_INVALID_FILTER, aai::EmailRecipientList{});
    EXPECT_EQ(Request(server), Bytes(Wire()
                                         .Header(7, 155)
                                         .Int(0)
                                         .String("dc1")
                                         .Int(389)
                                         .String("dc=corp")
                                         .Int(5)
                                         .Int(12)
                                         .String("admins")
                                         .String("the admins")
                                         .String("cn=admins")
                                         .Int(8)
                                         .Int(0)));
}

TEST_F(ProxyBytes, ReleaseSendsTheWholeCount) {
    {
        auto proxy = Proxy<aai::IUsersAndGroupsServer>(client, 12);
        auto* counted = dynamic_cast<ipc2::IProxy*>(proxy.get());
        ASSERT_NE(counted, nullptr);
        counted->IncreaseReferenceCount();
        counted->IncreaseReferenceCount();
        EXPECT_TRUE(client->sent.empty());
    }
    ASSERT_EQ(client->sent.size(), 1u);
    EXPECT_EQ(client->sent[0].bytes, Bytes(Wire().Header(12, 41).Int(3)));
    EXPECT_TRUE(client->sent[0].sendFlag);
    EXPECT_EQ(client->allocated, std::vector<int>{13});
    EXPECT_EQ(client->nullFrees, 1);
    EXPECT_EQ(client->removed, std::vector<int>{12});
}

// The runtime raises a proxy's count from whatever thread receives the reference.
TEST_F(ProxyBytes, CountsRaisedFromManyThreadsAreAllReleased) {
    constexpr int kThreads = 4;
    constexpr int kRaises = 100000;
    {
        auto proxy = Proxy<aai::IHotfolderServer>(client, 12);
        auto* counted = dynamic_cast<ipc2::IProxy*>(proxy.get());
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([counted, &ready] {
                // All start together, so that the raises overlap.
                ++ready;
                while (ready.load() < kThreads) std::this_thread::yield();
                for (int i = 0; i < kRaises; ++i) counted->IncreaseReferenceCount();
            });
        for (auto& thread : threads) thread.join();
    }
    ASSERT_EQ(client->sent.size(), 1u);
    EXPECT_EQ(client->sent[0].bytes, Bytes(Wire().Header(12, 170).Int(1 + kThreads * kRaises)));
}

TEST_F(ProxyBytes, AReleaseThatThrowsStaysInsideTheDestructor) {
    client->reply = [](std::shared_ptr<ipc2::ByteStream>) -> std::shared_ptr<ipc2::ByteStream> {
        throw ipc2::RemoteError("gone");
    };
    EXPECT_NO_THROW(Proxy<aai::IServerSession>(client).reset());
    EXPECT_EQ(client->sent.size(), 1u);
}

TEST_F(ProxyBytes, ResultsAreDecodedFromTheReplyAndTheReplyIsGivenBack) {
    client->reply = [](std::shared_ptr<ipc2::ByteStream>) { return StreamOf(Wire().Bool(true)); };
    EXPECT_TRUE(Proxy<aai::IUsersAndGroupsServer>(client)->isAnyUserAllowedToAccessJob());
    client->reply = [](std::shared_ptr<ipc2::ByteStream>) { return StreamOf(Wire().String("nonce")); };
    EXPECT_EQ(Proxy<aai::IUsersAndGroupsServer>(client)->createNonce({}), "nonce");
    // Two calls, two releases: every reply went back, none of them null.
    EXPECT_EQ(client->frees, 4);
    EXPECT_EQ(client->nullFrees, 0);
}

TEST_F(ProxyBytes, AReplyThatCannotBeDecodedIsStillGivenBack) {
    client->reply = [](std::shared_ptr<ipc2::ByteStream>) { return StreamOf(Bytes{0x01}); };
    auto proxy = Proxy<aai::IClusterSecurityServer>(client);
    EXPECT_THROW(proxy->getName(), ipc2::StreamError);
    EXPECT_EQ(client->frees, 1);
    EXPECT_EQ(client->nullFrees, 0);
}

// Under the policy that returns from reports, a lost call's result is an empty value, read from
// nothing.
TEST_F(ProxyBytes, ALostCallReturnsAnEmptyValueWithoutReadingAnything) {
    trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);
    trace::Capture capture;
    auto session = Proxy<aai::IAAService>(client)->registerClient("me");
    EXPECT_EQ(session, nullptr);
    Proxy<aai::IServerSession>(client)->closeSession();
    ASSERT_EQ(capture.FatalReports().size(), 1u);
    EXPECT_EQ(capture.FatalReports()[0].text,
              "The connection was lost unexpectedly during method call but 'AAService.registerClient' has a return "
              "value or out params!");
    EXPECT_EQ(capture.FatalReports()[0].function, "zel::iface::aai::AAServiceProxy::registerClient");
    EXPECT_EQ(capture.FatalReports()[0].file, "aaiproxy.cpp");
}

}  // namespace
}  // namespace aai_test
