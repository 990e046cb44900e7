// What a stub does with each request: dispatch to the method of the same name, release, the
// connect request, and everything it must refuse.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <stdexcept>

#include "method_table.h"
#include "trace/trace.h"

namespace aai_test {
namespace {

std::string Ns(const std::string& name) { return "zel::iface::aai::" + name; }

// A request as a stub receives it: the runtime has consumed the object id.
std::shared_ptr<ipc2::ByteStream> StubRequest(std::int32_t methodId, const Bytes& arguments = {}) {
    return StreamOf(Wire().Byte(kModuleByte).Int(methodId).Append(arguments));
}

TEST(StubDispatch, SendFlagsFollowTheTable) {
    std::map<int, bool> flags;
    for (const auto& row : Methods()) flags[row.id] = row.sendFlag;
    const auto brokers = aai::MakeInterfaceBrokers();
    for (const auto& iface : Interfaces()) {
        SCOPED_TRACE(iface.interface);
        auto handler = RecordingHandler::Make(iface.homeIsService);
        auto stub = iface.makeStub(handler, brokers);
        for (int id = iface.releaseId + 1; id <= iface.lastId; ++id) EXPECT_EQ(stub->GetSendFlag(id), flags.at(id)) << id;
        for (int id : {iface.releaseId, 0, -1, 999, iface.releaseId - 1, iface.lastId + 1})
            EXPECT_TRUE(stub->GetSendFlag(id)) << id;
    }
}

// An unsupported id is reported: the report fails the request (thrown, by default), or, where
// reports return, the stub answers nothing.
TEST(StubDispatch, IdsOutsideTheBlockAreUnsupported) {
    const auto brokers = aai::MakeInterfaceBrokers();
    for (const auto& iface : Interfaces()) {
        SCOPED_TRACE(iface.interface);
        std::vector<int> outside = {iface.lastId + 1, -1, 177};
        // The root answers 0 itself (the connect request); to every other stub it is foreign.
        if (iface.interface != "IAAService") outside.push_back(0);
        if (iface.releaseId - 1 > 0) outside.push_back(iface.releaseId - 1);
        for (int id : outside) {
            auto handler = RecordingHandler::Make(iface.homeIsService);
            auto stub = iface.makeStub(handler, brokers);
            trace::Capture capture;
            if (id % 2 == 0) {
                EXPECT_THROW(stub->Receive(StubRequest(id, Le32(1)), handler), trace::FatalError) << id;
            } else {
                const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);
                EXPECT_EQ(stub->Receive(StubRequest(id, Le32(1)), handler), nullptr) << id;
            }
            const auto reports = capture.FatalReports();
            ASSERT_EQ(reports.size(), 1u) << id;
            EXPECT_EQ(reports[0].text, "Unsupported method");
            EXPECT_EQ(reports[0].function, Ns(iface.wireName + "Stub::Receive"));
            EXPECT_EQ(reports[0].file, "aaistub.cpp");
            // Left alone: nothing allocated, the request not given back, no count changed.
            EXPECT_TRUE(handler->allocated.empty());
            EXPECT_EQ(handler->frees, 0);
            EXPECT_TRUE(handler->lowered.empty());
        }
    }
}

// Every method through a stub: a proxy's request goes to a stub whose implementation is itself a
// proxy, which sends the call on. The call sent on must be the same method with the same
// argument bytes; the reply must be exactly the size allocated for it.
TEST(StubDispatch, EveryIdReachesTheMethodOfTheSameNameWithItsArguments) {
    const auto brokers = aai::MakeInterfaceBrokers();
    for (const auto& row : Methods()) {
        SCOPED_TRACE(row.interface + "." + row.method);
        const auto& iface = InterfaceNamed(row.interface);
        auto caller = RecordingHandler::Make(!iface.homeIsService);
        auto home = RecordingHandler::Make(iface.homeIsService);
        auto onward = RecordingHandler::Make(iface.homeIsService);
        auto stub = row.invoker.relay(home, onward, brokers);
        // The onward proxies have no peer: their calls are lost, which is reported and returns here.
        const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);
        std::vector<int> answered;  // the method ids that got a reply
        caller->reply = [&](std::shared_ptr<ipc2::ByteStream> request) {
            const int methodId = ReadLe32At(Bytes(request->Data(), request->Data() + request->Size()), 5);
            request->Read(4);  // the object id, the runtime's part
            auto reply = stub->Receive(request, home);
            if (reply) {
                answered.push_back(methodId);
                EXPECT_TRUE(home->WroteExactly(*reply));
                EXPECT_EQ(reply->Size() == 0, methodId == iface.releaseId || !row.hasResult);
            }
            return reply;
        };
        trace::Capture capture;

        row.invoker.call(caller, brokers, 21);

        // The call, then the proxy's release when it went.
        EXPECT_EQ(answered, (std::vector<int>{row.id, iface.releaseId}));
        ASSERT_GE(onward->sent.size(), 1u);
        const Bytes& in = caller->sent.at(0).bytes;
        const Bytes& out = onward->sent[0].bytes;
        EXPECT_EQ(ReadLe32At(out, 5), row.id);
        EXPECT_EQ(Bytes(out.begin() + 9, out.end()), Bytes(in.begin() + 9, in.end()));
        for (const auto& report : capture.FatalReports()) EXPECT_NE(report.text, "Unsupported method");
        // The stub gave the request back (before the implementation ran: see below).
        EXPECT_GE(home->frees, 1);
        caller->Close();
        home->Close();
        onward->Close();
    }
}

class StubFixture : public ::testing::Test {
protected:
    void TearDown() override {
        client->Close();
        server->Close();
    }
    Brokers brokers = aai::MakeInterfaceBrokers();
    std::shared_ptr<RecordingHandler> client = RecordingHandler::Make(false);
    std::shared_ptr<RecordingHandler> server = RecordingHandler::Make(true);
};

struct Watched : aai::IReplyHandler {
    std::function<void()> hook = [] {};
    int calls = 0;
    void onDone() override {
        ++calls;
        hook();
    }
};

TEST_F(StubFixture, TheRequestIsGivenBackBeforeTheImplementationRuns) {
    auto impl = std::make_shared<Watched>();
    auto stub = MakeStub<aai::IReplyHandler>(impl.get(), 3, client, brokers, impl);
    int freesDuringCall = -1;
    impl->hook = [&] { freesDuringCall = client->frees; };

    auto reply = stub->Receive(StubRequest(128), client);

    EXPECT_EQ(impl->calls, 1);
    EXPECT_EQ(freesDuringCall, 1);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->Size(), 0u);
    EXPECT_EQ(client->allocated, std::vector<int>{0});
}

TEST_F(StubFixture, AnImplementationsExceptionPassesOutWithTheRequestGivenBack) {
    auto impl = std::make_shared<Watched>();
    impl->hook = [] { throw std::runtime_error("refused"); };
    auto stub = MakeStub<aai::IReplyHandler>(impl.get(), 3, client, brokers, impl);
    EXPECT_THROW(stub->Receive(StubRequest(128), client), std::runtime_error);
    EXPECT_EQ(client->frees, 1);
}

TEST_F(StubFixture, AReleaseLowersTheCountOnTheStubsOwnConnection) {
    auto stub = InterfaceNamed("IServerSession").makeStub(server, brokers);
    auto other = RecordingHandler::Make(true);
    trace::Capture capture;

    auto reply = stub->Receive(StubRequest(4, Le32(3)), other);

    ASSERT_EQ(server->lowered.size(), 1u);
    EXPECT_EQ(server->lowered[0].stub, stub);
    EXPECT_EQ(server->lowered[0].count, 3);
    EXPECT_EQ(server->lowered[0].typeName, "ServerSession");
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->Size(), 0u);
    EXPECT_EQ(other->allocated, std::vector<int>{0});
    EXPECT_EQ(other->frees, 1);
    EXPECT_TRUE(other->lowered.empty());
    // The same id at the next interface's stub is not a release but a foreign method.
    auto settings = InterfaceNamed("ISettings").makeStub(server, brokers);
    EXPECT_THROW(settings->Receive(StubRequest(4, Le32(1)), server), trace::FatalError);
}

// A count below zero is reported (thrown, by default: the release that did it fails) and kept.
TEST_F(StubFixture, ACountBelowZeroIsReportedAndKept) {
    for (const auto& iface : Interfaces()) {
        SCOPED_TRACE(iface.interface);
        auto stub = iface.makeStub(server, brokers);
        trace::Capture capture;
        stub->IncreaseReferenceCount();
        EXPECT_EQ(stub->DecreaseReferenceCount(2), 0);
        EXPECT_TRUE(capture.FatalReports().empty());
        EXPECT_THROW(stub->DecreaseReferenceCount(1), trace::FatalError);
        ASSERT_EQ(capture.FatalReports().size(), 1u);
        EXPECT_EQ(capture.FatalReports()[0].text, "Negative reference count");
        EXPECT_EQ(capture.FatalReports()[0].function, Ns(iface.wireName + "Stub::DecreaseReferenceCount"));
        const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);
        EXPECT_EQ(stub->DecreaseReferenceCount(0), -1);
    }
}

TEST_F(StubFixture, ACountFromThePeerCannotOverflow) {
    auto stub = InterfaceNamed("IReplyHandler").makeStub(client, brokers);
    trace::Capture capture;
    const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);  // the counts below zero report
    EXPECT_EQ(stub->DecreaseReferenceCount(INT_MIN), INT_MAX);
    // The next arrival of the object (a connect request to the root, say) stays at the top.
    stub->IncreaseReferenceCount();
    EXPECT_EQ(stub->DecreaseReferenceCount(0), INT_MAX);
    EXPECT_EQ(stub->DecreaseReferenceCount(INT_MAX), 0);
    EXPECT_EQ(stub->DecreaseReferenceCount(INT_MAX), -INT_MAX);
    EXPECT_EQ(stub->DecreaseReferenceCount(INT_MAX), INT_MIN);
}

struct Root : aai::IAAService {
    std::shared_ptr<aai::IServerSession> registerClient(const std::string&) override { return nullptr; }
    std::shared_ptr<aai::ISettings> getSettingsServer(const std::string&) override { return nullptr; }
};

TEST_F(StubFixture, TheRootAnswersTheConnectRequestWithItselfAndTheVersion) {
    auto impl = std::make_shared<Root>();
    auto stub = MakeStub<aai::IAAService>(impl.get(), 0, server, brokers, impl);

    auto reply = stub->Receive(StubRequest(0), server);

    ASSERT_NE(reply, nullptr);
    EXPECT_TRUE(server->WroteExactly(*reply));
    const Bytes bytes(reply->Data(), reply->Data() + reply->Size());
    ASSERT_EQ(bytes.size(), 14u);
    const std::int32_t id = ReadLe32At(bytes, 0);
    EXPECT_EQ(Bytes(bytes.begin() + 4, bytes.end()), Bytes(Wire().String("10.0.0")));
    auto registered = server->GetStub(id);
    ASSERT_NE(registered, nullptr);
    EXPECT_EQ(registered->GetObject(), static_cast<aai::IAAService*>(impl.get()));
    EXPECT_EQ(server->frees, 1);
}

}  // namespace
}  // namespace aai_test
