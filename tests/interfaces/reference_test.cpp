// Interface references: what each side sends for an object, what it makes of an id, and what it
// does with what it cannot send or resolve.
#include <gtest/gtest.h>

#include <sstream>

#include "method_table.h"
#include "session_double.h"
#include "trace/trace.h"

namespace aai_test {
namespace {

struct Done : aai::IReplyHandler {
    void onDone() override {}
};

const Bytes kNoObject = {0xFF, 0xFF, 0xFF, 0xFF};

// What a reference that cannot be sent or resolved comes to where reports return; under the default
// policy the report is thrown instead (ReferencesByDefault below).
class References : public ::testing::Test {
protected:
    const trace::ScopedFatalPolicy returning_{trace::FatalPolicy::Return};
    void TearDown() override {
        client->Close();
        server->Close();
    }
    static Bytes Written(const std::shared_ptr<ipc2::ByteStream>& stream) {
        return Bytes(stream->Data(), stream->Data() + stream->Size());
    }
    std::shared_ptr<RecordingHandler> Side(bool isServer) const { return isServer ? server : client; }

    Brokers brokers = aai::MakeInterfaceBrokers();
    std::shared_ptr<RecordingHandler> client = RecordingHandler::Make(false);
    std::shared_ptr<RecordingHandler> server = RecordingHandler::Make(true);
};

// An empty pointer names nothing on either side; a local object on the side opposite its
// interface's home cannot be named either. Both are reported, and sent as an id that names no
// object, so that the receiver reports a failed decode instead of calling into nothing.
TEST_F(References, WhatCannotBeSentIsReportedAndSentAsNoObject) {
    struct Case {
        std::string what;
        bool onServer;
        std::function<void(const std::shared_ptr<ipc2::ByteStream>&, const HandlerPtr&, const Brokers&)> encode;
        std::string report;
        std::string function;
    };
    const std::vector<Case> cases = {
        {"empty, home side", true,
         [](auto s, auto h, auto b) { aai::ServerSessionMarshaller::Encode(s, nullptr, h, b); },
         "Cannot encode an empty ServerSession reference", "zel::iface::aai::ServerSessionMarshaller::Encode"},
        {"empty, other side", false,
         [](auto s, auto h, auto b) { aai::ServerSessionMarshaller::Encode(s, nullptr, h, b); },
         "Cannot encode an empty ServerSession reference", "zel::iface::aai::ServerSessionMarshaller::Encode"},
        {"empty handler, home side", false,
         [](auto s, auto h, auto b) { aai::ReplyHandlerMarshaller::Encode(s, nullptr, h, b); },
         "Cannot encode an empty ReplyHandler reference", "zel::iface::aai::ReplyHandlerMarshaller::Encode"},
        {"local handler in the service", true,
         [](auto s, auto h, auto b) { aai::ReplyHandlerMarshaller::Encode(s, std::make_shared<Done>(), h, b); },
         "Cannot encode a ReplyHandler reference: the object is not a proxy",
         "zel::iface::aai::ReplyHandlerMarshaller::Encode"},
        {"local session in a client", false,
         [](auto s, auto h, auto b) { aai::ServerSessionMarshaller::Encode(s, std::make_shared<Session>(), h, b); },
         "Cannot encode a ServerSession reference: the object is not a proxy",
         "zel::iface::aai::ServerSessionMarshaller::Encode"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto handler = Side(c.onServer);
        auto stream = std::make_shared<ipc2::ByteStream>();
        trace::Capture capture;
        c.encode(stream, handler, brokers);
        EXPECT_EQ(Written(stream), kNoObject);
        ASSERT_EQ(capture.FatalReports().size(), 1u);
        EXPECT_EQ(capture.FatalReports()[0].text, c.report);
        EXPECT_EQ(capture.FatalReports()[0].function, c.function);
        EXPECT_EQ(handler->Registry().StubCount(), 0u);
    }
}

TEST_F(References, WhatCannotBeResolvedIsReportedAndGivesNothing) {
    struct Case {
        std::string what;
        bool onServer;
        std::int32_t id;
        std::function<bool(const std::shared_ptr<ipc2::ByteStream>&, const HandlerPtr&, const Brokers&)> decodesEmpty;
        std::string report;
    };
    auto session = [](auto s, auto h, auto b) { return aai::ServerSessionMarshaller::Decode(s, h, b) == nullptr; };
    auto done = [](auto s, auto h, auto b) { return aai::ReplyHandlerMarshaller::Decode(s, h, b) == nullptr; };
    const std::vector<Case> cases = {
        {"no object, other side", false, -1, session, "Failed to decode ServerSession"},
        {"unknown stub, home side", true, 42, session, "Failed to decode ServerSession"},
        {"no object, home side", true, -1, session, "Failed to decode ServerSession"},
        {"no handler, other side", true, -1, done, "Failed to decode ReplyHandler"},
        {"unknown handler stub, home side", false, 42, done, "Failed to decode ReplyHandler"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto handler = Side(c.onServer);
        trace::Capture capture;
        EXPECT_TRUE(c.decodesEmpty(StreamOf(Le32(c.id)), handler, brokers));
        ASSERT_EQ(capture.FatalReports().size(), 1u);
        EXPECT_EQ(capture.FatalReports()[0].text, c.report);
        // Nothing was made for an id that names nothing.
        EXPECT_EQ(handler->Registry().ProxyCount(), 0u);
        EXPECT_TRUE(handler->sent.empty());
    }
}

TEST_F(References, AStubOfAnotherInterfaceIsNotTheObjectAsked) {
    auto stream = std::make_shared<ipc2::ByteStream>();
    aai::ServerSessionMarshaller::Encode(stream, std::make_shared<Session>(), server, brokers);
    trace::Capture capture;
    EXPECT_EQ(aai::SettingsMarshaller::Decode(stream, server, brokers), nullptr);
    ASSERT_EQ(capture.FatalReports().size(), 1u);
    EXPECT_EQ(capture.FatalReports()[0].text, "Failed to decode Settings");
    EXPECT_EQ(capture.FatalReports()[0].function, "zel::iface::aai::SettingsMarshaller::Decode");
}

TEST_F(References, AnObjectSentFromHomeComesBackAsItself) {
    auto session = std::make_shared<Session>();
    auto stream = std::make_shared<ipc2::ByteStream>();
    aai::ServerSessionMarshaller::Encode(stream, session, server, brokers);
    aai::ServerSessionMarshaller::Encode(stream, session, server, brokers);
    const Bytes bytes = Written(stream);
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(ReadLe32At(bytes, 0), ReadLe32At(bytes, 4));
    EXPECT_EQ(server->Registry().StubCount(), 1u);

    trace::Capture capture;
    EXPECT_EQ(aai::ServerSessionMarshaller::Decode(stream, server, brokers), session);
    EXPECT_TRUE(capture.FatalReports().empty());
}

TEST_F(References, TheOtherSideHoldsOneCountedProxyPerObject) {
    auto stream = StreamOf(Wire().Int(5).Int(5));
    auto first = aai::ServerSessionMarshaller::Decode(stream, client, brokers);
    auto second = aai::ServerSessionMarshaller::Decode(stream, client, brokers);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    auto* proxy = dynamic_cast<ipc2::IProxy*>(first.get());
    ASSERT_NE(proxy, nullptr);
    EXPECT_EQ(proxy->GetId(), 5);

    // Sent back, the proxy names the home side's object.
    auto back = std::make_shared<ipc2::ByteStream>();
    aai::ServerSessionMarshaller::Encode(back, first, client, brokers);
    EXPECT_EQ(Written(back), Le32(5));

    first.reset();
    second.reset();
    ASSERT_EQ(client->sent.size(), 1u);
    EXPECT_EQ(client->sent[0].bytes, Bytes(Wire().Header(5, 4).Int(2)));
}

TEST_F(References, AHandlerPassedInACallGetsAStubInTheClient) {
    auto handler = std::make_shared<Done>();
    auto server_ = MakeProxy<aai::IUsersAndGroupsServer>(8, client, brokers);
    server_->requestById(3, handler);
    server_->requestById(4, handler);
    ASSERT_GE(client->sent.size(), 2u);
    const std::int32_t id = ReadLe32At(client->sent[0].bytes, 13);
    EXPECT_EQ(ReadLe32At(client->sent[1].bytes, 13), id);
    auto stub = client->GetStub(id);
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->GetObject(), static_cast<aai::IReplyHandler*>(handler.get()));
    EXPECT_EQ(client->Registry().StubCount(), 1u);
}

TEST_F(References, AnEmptyHandlerArgumentStillSendsTheCall) {
    trace::Capture capture;
    MakeProxy<aai::IUsersAndGroupsServer>(8, client, brokers)->addUser(aai::LocalUser(), nullptr);
    ASSERT_FALSE(client->sent.empty());
    const Bytes& request = client->sent[0].bytes;
    EXPECT_EQ(Bytes(request.end() - 4, request.end()), kNoObject);
    ASSERT_EQ(capture.FatalReports().size(), 1u);
    EXPECT_EQ(capture.FatalReports()[0].text, "Cannot encode an empty EditUserReplyHandler reference");
}

// By default the report is thrown: a call whose reference cannot be encoded is not sent, and a
// request whose reference cannot be decoded fails before any implementation is called with it.
TEST(ReferencesByDefault, WhatCannotBeSentOrResolvedIsThrown) {
    const auto brokers = aai::MakeInterfaceBrokers();
    auto client = RecordingHandler::Make(false);
    auto server = RecordingHandler::Make(true);
    trace::Capture capture;
    try {
        MakeProxy<aai::IUsersAndGroupsServer>(8, client, brokers)->addUser(aai::LocalUser(), nullptr);
        ADD_FAILURE() << "a call with an empty handler was made";
    } catch (const trace::FatalError& e) {
        EXPECT_STREQ(e.what(), "Cannot encode an empty EditUserReplyHandler reference");
    }
    ASSERT_EQ(client->sent.size(), 1u) << "only the proxy's release went";
    EXPECT_EQ(client->sent[0].bytes.size(), 13u);
    EXPECT_THROW(aai::ReplyHandlerMarshaller::Decode(StreamOf(Le32(42)), client, brokers), trace::FatalError);
    EXPECT_THROW(aai::ServerSessionMarshaller::Decode(StreamOf(Le32(-1)), client, brokers), trace::FatalError);
    EXPECT_EQ(capture.FatalReports().size(), 3u);
    client->Close();
    server->Close();
}

TEST(ReferenceText, SizeAndTextOfAPointer) {
    auto session = std::make_shared<Session>();
    std::shared_ptr<aai::IServerSession> asInterface = session;
    EXPECT_EQ(aai::ServerSessionMarshaller::SizeOf(asInterface), 4);
    EXPECT_EQ(aai::ServerSessionMarshaller::SizeOf(nullptr), 4);

    std::ostringstream expected;
    expected << static_cast<const void*>(asInterface.get());
    EXPECT_EQ(aai::ToString(asInterface), expected.str());
    std::ostringstream streamed;
    streamed << asInterface;
    EXPECT_EQ(streamed.str(), expected.str());

    std::ostringstream null;
    null << static_cast<const void*>(nullptr);
    EXPECT_EQ(aai::ToString(std::shared_ptr<aai::IHotfolderServer>()), null.str());
}

}  // namespace
}  // namespace aai_test
