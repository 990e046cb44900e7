// The call log: one trace line per message and direction at level 3, with the payload only for
// messages that may carry it, on both transports (the client writes the line going out, the server
// the line coming in).
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "doubles.h"
#include "transports.h"
#include "trace/trace.h"

using namespace transport_test;

namespace {

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 0xF];
    }
    return out;
}

class CallLogTest : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        static int serial = 0;
        name = "calllog-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
        server->Serve(name, &service);
        handler = client->Connect(name, {kModule}, AddressFor(GetParam(), name));
        root = ProxyFor(handler, 0);
    }
    void TearDown() override {
        root.reset();
        handler.reset();
    }

    std::vector<std::string> CallLines(const trace::Capture& capture) const {
        std::vector<std::string> lines;
        for (const trace::Record& r : capture.Records())
            if (r.component == "ipc2" && r.text.find("call ") == 0) lines.push_back(r.text);
        return lines;
    }

    std::string name;
    Service service;
    std::shared_ptr<TestConnector> server = TestConnector::Create();
    std::shared_ptr<TestConnector> client = TestConnector::Create();
    std::shared_ptr<ConnectionHandler> handler;
    std::shared_ptr<ServiceProxy> root;
};

TEST_P(CallLogTest, SecretPayloadIsNeverLogged) {
    const std::string secret = "hunter2-password";
    trace::ScopedLevel level(3);
    trace::Capture capture;
    auto reply = root->Call(kSecret, secret, false);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(service.secretsReceived.load(), 1);

    const auto lines = CallLines(capture);
    ASSERT_EQ(lines.size(), 2u) << "one line going out, one coming in";
    EXPECT_EQ(lines[0].find("call out client "), 0u) << lines[0];
    EXPECT_EQ(lines[1].find("call in server "), 0u) << lines[1];
    for (const std::string& line : lines) {
        EXPECT_NE(line.find("method 5"), std::string::npos) << line;
        EXPECT_NE(line.find("object 0"), std::string::npos) << line;
        EXPECT_NE(line.find("payload withheld"), std::string::npos) << line;
    }
    // Not in any form, in any record the call produced.
    for (const trace::Record& r : capture.Records()) {
        EXPECT_EQ(r.text.find(secret), std::string::npos) << r.text;
        EXPECT_EQ(r.text.find(Hex(secret)), std::string::npos) << r.text;
        EXPECT_EQ(r.text.find(Hex(secret.substr(0, 4))), std::string::npos) << r.text;
    }
}

TEST_P(CallLogTest, OrdinaryPayloadIsLoggedInHex) {
    const std::string text = "plain words";
    trace::ScopedLevel level(3);
    trace::Capture capture;
    EXPECT_EQ(root->Echo(text), text);

    const auto lines = CallLines(capture);
    ASSERT_EQ(lines.size(), 2u);
    const std::string payload = "0b000000" + Hex(text);  // the string's length, then its bytes
    for (const std::string& line : lines) {
        EXPECT_NE(line.find("method 1"), std::string::npos) << line;
        EXPECT_NE(line.find(payload), std::string::npos) << line;
        EXPECT_NE(line.find("size " + std::to_string(9 + 4 + text.size())), std::string::npos) << line;
    }
}

TEST_P(CallLogTest, NothingIsLoggedBelowLevelThree) {
    trace::ScopedLevel level(2);
    trace::Capture capture;
    root->Echo("quiet");
    EXPECT_TRUE(CallLines(capture).empty());
}

// Message bytes are data, never a format: a payload full of conversions is printed as it is.
TEST_P(CallLogTest, FormatCharactersInMessagesAreHarmless) {
    trace::ScopedLevel level(3);
    trace::Capture capture;
    const std::string text = "%s%n%x%%";
    EXPECT_EQ(root->Echo(text), text);
    const auto lines = CallLines(capture);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(Hex(text)), std::string::npos) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(Transports, CallLogTest, kBothTransports, TransportName);

}  // namespace
