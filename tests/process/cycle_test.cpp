// A thousand connections to one service process, one after the other, each with a few calls (one
// of them passing a reply handler, so that a stub is made on this side and released by the
// service), then let go entirely. Neither side may keep anything of them: descriptors, threads,
// connection handlers, stubs, proxies, sessions. (Under AddressSanitizer, LeakSanitizer checks the
// heap of both processes at their ends.)
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "child.h"
#include "peer.h"

namespace {

namespace aai = zel::iface::aai;
namespace ipc2 = zel::proglibs::ipc2;
using namespace std::chrono_literals;

constexpr int kWarmUp = 5;
constexpr int kCycles = 1000;

struct ServiceStats {
    int fds = -1, threads = -1, connected = -1, disconnected = -1, liveHandlers = -1;
    long stubs = -1, proxies = -1, stubsAtDisconnect = -1, liveSessions = -1;
};

std::ostream& operator<<(std::ostream& out, const ServiceStats& s) {
    return out << "fds " << s.fds << ", threads " << s.threads << ", connected " << s.connected << ", disconnected "
               << s.disconnected << ", live handlers " << s.liveHandlers << ", stubs " << s.stubs << ", proxies "
               << s.proxies << ", stubs at disconnect " << s.stubsAtDisconnect << ", live sessions " << s.liveSessions;
}

bool AskStats(peer::Child& child, ServiceStats& s) {
    std::string line;
    if (!child.Command("stats") || !child.NextStartingWith("stats ", line)) return false;
    std::istringstream in(line.substr(6));
    in >> s.fds >> s.threads >> s.connected >> s.disconnected >> s.liveHandlers >> s.stubs >> s.proxies >>
        s.stubsAtDisconnect >> s.liveSessions;
    return static_cast<bool>(in);
}

// One connection's life. Returns its handler, weakly, for the test to see it go.
std::weak_ptr<ipc2::ConnectionHandler> Cycle(int i) {
    auto root = aai::IAAService::Connect();
    if (!root) {
        ADD_FAILURE() << "cycle " << i << ": no connection";
        return {};
    }
    auto registry = std::dynamic_pointer_cast<ipc2::RegistryConnectionHandler>(
        std::dynamic_pointer_cast<aai::AAServiceProxy>(root)->GetConnectionHandler());
    if (!registry) {
        ADD_FAILURE() << "cycle " << i << ": the connection keeps no registry";
        return {};
    }
    std::weak_ptr<ipc2::ConnectionHandler> connection = registry;
    auto session = root->registerClient("cycle-" + std::to_string(i));
    auto email = session ? session->getEmailAddressServer() : nullptr;
    auto cluster = session ? session->getClusterSecurityServer() : nullptr;
    if (!email || !cluster) {
        ADD_FAILURE() << "cycle " << i << ": no server objects";
        return connection;
    }
    auto reply = std::make_shared<e2e::EmailReply>();
    const std::weak_ptr<e2e::EmailReply> replyAlive = reply;
    email->getEmailAddresses("who" + std::to_string(i), false, reply);
    EXPECT_EQ(reply->recipients.size(), 1u) << "cycle " << i;
    EXPECT_EQ(cluster->signData("x"), "signed:x") << "cycle " << i;
    // The service let go of the handler when its call ended: this side's stub goes with it.
    reply.reset();
    EXPECT_TRUE(WaitUntil([&] { return replyAlive.expired(); }, 5s)) << "cycle " << i << ": the stub was kept";
    EXPECT_EQ(registry->Registry().StubCount(), 0u) << "cycle " << i;
    EXPECT_EQ(registry->Registry().ProxyCount(), 4u) << "cycle " << i;  // root, session, email, cluster
    return connection;
}

TEST(ProcessCycles, AThousandConnectionsLeaveNothingBehindOnEitherSide) {
    peer::SocketDir dir;
    ::setenv("ZEL_IPC_DIR", dir.Path().c_str(), 1);
    peer::Child child;
    child.Start("cycle", dir.Path());
    ASSERT_TRUE(child.Expect("ready"));

    std::vector<std::weak_ptr<ipc2::ConnectionHandler>> connections;
    auto allGone = [&] {
        for (const auto& c : connections)
            if (!c.expired()) return false;
        return true;
    };
    for (int i = 0; i < kWarmUp; ++i) connections.push_back(Cycle(i));
    ASSERT_TRUE(WaitUntil(allGone, 5s)) << "a warm-up connection's handler was kept";
    const int fdsBefore = peer::FdCount();
    const int threadsBefore = peer::ThreadCount();
    ServiceStats before;
    ASSERT_TRUE(AskStats(child, before));
    EXPECT_EQ(before.connected, kWarmUp);

    for (int i = kWarmUp; i < kWarmUp + kCycles && !HasFailure(); ++i) connections.push_back(Cycle(i));
    ASSERT_FALSE(HasFailure());

    // Connections end on their own threads once let go: wait (boundedly) for what is left to go.
    EXPECT_TRUE(WaitUntil(allGone, 5s)) << "connection handlers were kept";
    EXPECT_TRUE(WaitUntil([&] { return peer::ThreadCount() <= threadsBefore; }, 5s))
        << "threads before " << threadsBefore << ", after " << peer::ThreadCount();
    EXPECT_LE(peer::FdCount(), fdsBefore);

    ServiceStats after;
    // Its threads may end a little after their connections: ask again until they have, boundedly.
    WaitUntil([&] { return AskStats(child, after) && after.fds <= before.fds && after.threads <= before.threads; },
                    5s);
    SCOPED_TRACE(::testing::Message() << "service before: " << before << "; after: " << after);
    EXPECT_EQ(after.connected, kWarmUp + kCycles);
    EXPECT_EQ(after.disconnected, kWarmUp + kCycles);
    EXPECT_EQ(after.liveHandlers, 0);
    EXPECT_EQ(after.stubs, 0);
    EXPECT_EQ(after.proxies, 0);
    EXPECT_EQ(after.stubsAtDisconnect, 0);
    EXPECT_EQ(after.liveSessions, 0);
    EXPECT_LE(after.fds, before.fds);
    EXPECT_LE(after.threads, before.threads);
    std::printf("client: fds %d -> %d, threads %d -> %d; service: fds %d -> %d, threads %d -> %d\n", fdsBefore,
                peer::FdCount(), threadsBefore, peer::ThreadCount(), before.fds, after.fds, before.threads,
                after.threads);

    // The service ends by itself, so that its leak check (under AddressSanitizer) runs.
    child.Command("quit");
    ASSERT_TRUE(child.WaitExit(20s)) << "the service did not end";
    EXPECT_TRUE(WIFEXITED(child.Status()) && WEXITSTATUS(child.Status()) == 0) << "service status " << child.Status();
}

}  // namespace
