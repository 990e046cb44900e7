// The client's half of connecting over a connection: the connect request, the root, the version.
#include <gtest/gtest.h>

#include "aai/detail/connector.h"
#include "method_table.h"
#include "trace/trace.h"

namespace aai_test {
namespace {

constexpr char kConnect[] = "zel::iface::aai::IAAServiceConnector::Connect";

// The connect request and what its reply comes to where reports return; by default they are thrown
// (the last test).
class Handshake : public ::testing::Test {
protected:
    const trace::ScopedFatalPolicy returning_{trace::FatalPolicy::Return};
    void TearDown() override { handler->Close(); }
    void Answer(std::int32_t rootId, const std::string& version) {
        handler->reply = [=](std::shared_ptr<ipc2::ByteStream>) { return StreamOf(Wire().Int(rootId).String(version)); };
    }

    Brokers brokers = aai::MakeInterfaceBrokers();
    std::shared_ptr<RecordingHandler> handler = RecordingHandler::Make(false);
};

TEST_F(Handshake, SendsNineZeroBytesAndReturnsAProxyOfTheRoot) {
    Answer(0, "10.0.0");
    trace::Capture capture;
    auto root = aai::detail::Handshake(handler, brokers);

    ASSERT_EQ(handler->sent.size(), 1u);
    EXPECT_EQ(handler->sent[0].bytes, Bytes(9, 0));
    EXPECT_TRUE(handler->sent[0].sendFlag);
    EXPECT_EQ(handler->allocated, std::vector<int>{9});
    EXPECT_EQ(handler->frees, 1);
    EXPECT_EQ(handler->nullFrees, 0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(dynamic_cast<ipc2::IProxy&>(*root).GetId(), 0);
    EXPECT_TRUE(capture.FatalReports().empty());
}

// The peer's version is data, never a format: printf directives in it arrive as written.
TEST_F(Handshake, AnotherVersionIsReportedAndTheRootStillReturned) {
    for (const std::string version : {"9.9.9", "%s%s%n", "10.0.0 ", ""}) {
        SCOPED_TRACE(version);
        Answer(3, version);
        trace::Capture capture;
        auto root = aai::detail::Handshake(handler, brokers);
        EXPECT_NE(root, nullptr);
        ASSERT_EQ(capture.FatalReports().size(), 1u);
        EXPECT_EQ(capture.FatalReports()[0].text,
                  "Server version differs from client version (" + version + " != 10.0.0)");
        EXPECT_EQ(capture.FatalReports()[0].function, kConnect);
        EXPECT_EQ(capture.FatalReports()[0].file, "aaiconnector.cpp");
    }
}

TEST_F(Handshake, NoConnectionOrNoReplyGivesNoRootAndReadsNothing) {
    trace::Capture capture;
    EXPECT_EQ(aai::detail::Handshake(nullptr, brokers), nullptr);
    EXPECT_EQ(aai::detail::Handshake(handler, brokers), nullptr);  // no reply
    const auto reports = capture.FatalReports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].function, kConnect);
    EXPECT_EQ(reports[1].function, kConnect);
    EXPECT_NE(reports[0].text, reports[1].text);
    EXPECT_EQ(handler->nullFrees, 1);
    EXPECT_EQ(handler->Registry().ProxyCount(), 0u);
}

TEST_F(Handshake, ARootThatCannotBeDecodedIsReported) {
    Answer(-1, "10.0.0");
    trace::Capture capture;
    EXPECT_EQ(aai::detail::Handshake(handler, brokers), nullptr);
    ASSERT_EQ(capture.FatalReports().size(), 1u);
    EXPECT_EQ(capture.FatalReports()[0].text, "Failed to decode AAService");
}

// By default a connect that cannot be completed throws the report: the caller gets no root that
// stands for nothing, and no root of a server that speaks another version.
TEST_F(Handshake, ByDefaultTheReportsAreThrown) {
    const trace::ScopedFatalPolicy throwing(trace::FatalPolicy::Throw);
    trace::Capture capture;
    EXPECT_THROW(aai::detail::Handshake(nullptr, brokers), trace::FatalError);
    EXPECT_THROW(aai::detail::Handshake(handler, brokers), trace::FatalError);  // no reply
    Answer(3, "9.9.9");
    try {
        aai::detail::Handshake(handler, brokers);
        ADD_FAILURE() << "a root of another version was returned";
    } catch (const trace::FatalError& e) {
        EXPECT_STREQ(e.what(), "Server version differs from client version (9.9.9 != 10.0.0)");
    }
    EXPECT_EQ(capture.FatalReports().size(), 3u);
}

}  // namespace
}  // namespace aai_test
