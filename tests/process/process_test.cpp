// The binding between two processes: the service runs in a child process and the test is its
// client over the Unix socket, with callbacks, many threads, and the service dying mid-call.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ipc2/deadline.h"
#include "ipc2/errors.h"
#include "service.h"
#include "trace/trace.h"

namespace {

namespace aai = zel::iface::aai;
namespace ipc2 = zel::proglibs::ipc2;
using namespace std::chrono_literals;

// signData("sleep") keeps the service busy long enough for the test to kill it mid-call.
struct SlowCluster : e2e::ClusterSecurity {
    std::string signData(const std::string& data) override {
        if (data == "sleep") std::this_thread::sleep_for(30s);
        return e2e::ClusterSecurity::signData(data);
    }
};

class ChildService : public e2e::Service {
public:
    std::shared_ptr<aai::IServerSession> registerClient(const std::string& clientName) override {
        auto session = std::static_pointer_cast<e2e::Session>(e2e::Service::registerClient(clientName));
        session->cluster = std::make_shared<SlowCluster>();
        return session;
    }
};

// Starts the service in a child process serving on a socket directory of its own, and connects.
class TwoProcesses : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/aai-process-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("ZEL_IPC_DIR", dir_.c_str(), 1);
        child_ = fork();
        ASSERT_GE(child_, 0);
        if (child_ == 0) {
            auto service = std::make_shared<ChildService>();
            service->Start();
            for (;;) pause();
        }
        const std::string socket = dir_ + "/AAI.sock";
        struct stat st;
        for (int i = 0; i < 500 && stat(socket.c_str(), &st) != 0; ++i) std::this_thread::sleep_for(10ms);
        root = aai::IAAService::Connect();
        ASSERT_NE(root, nullptr);
        session = root->registerClient("process-client");
        ASSERT_NE(session, nullptr);
    }

    void TearDown() override {
        session.reset();
        root.reset();
        KillService();
        rmdir(dir_.c_str());
    }

    void KillService() {
        if (child_ <= 0) return;
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
        child_ = -1;
        unlink((dir_ + "/AAI.sock").c_str());
    }

    // Freezes the service (SIGSTOP), and returns once it is stopped; lets it go on (SIGCONT).
    void Freeze() {
        kill(child_, SIGSTOP);
        int status = 0;
        waitpid(child_, &status, WUNTRACED);
    }
    void Thaw() {
        kill(child_, SIGCONT);
        int status = 0;
        waitpid(child_, &status, WCONTINUED);
    }

    std::shared_ptr<aai::IAAService> root;
    std::shared_ptr<aai::IServerSession> session;

private:
    std::string dir_;
    pid_t child_ = -1;
};

TEST_F(TwoProcesses, ASessionReachesEveryFamilyWithCallbacksBothWays) {
    EXPECT_EQ(session->getPasswordHandler()->encrypt("pw", aai::ENCRYPTIONTYPE_ONE_WAY), "enc:pw:0");
    EXPECT_EQ(session->getClusterSecurityServer()->getName(), "cluster-a");

    auto users = session->getUsersAndGroupsServer();
    EXPECT_EQ(users->createNonce(zel::iface::userlogin::UserLoginId("alice", 7)), "nonce-alice");
    auto userReply = std::make_shared<e2e::EditUserReply>();
    users->addUser(aai::LocalUser(), userReply);
    // The service answered through the handler while the call was running.
    EXPECT_EQ(userReply->results, std::vector<aai::EditUserResult>{aai::EDITUSERRESULT_SUCCESS});

    auto email = session->getEmailAddressServer();
    auto emailReply = std::make_shared<e2e::EmailReply>();
    email->getEmailAddresses("anna", true, emailReply);
    ASSERT_EQ(emailReply->recipients.size(), 1u);
    EXPECT_EQ(emailReply->recipients[0].getEmailAdddress(), "anna@corp");
    EXPECT_FALSE(emailReply->recipients[0].hasUserId());

    auto hotfolders = session->getHotfolderServer();
    auto sink = std::make_shared<e2e::HotfolderSink>();
    auto hotfolderReply = std::make_shared<e2e::HotfolderReply>();
    hotfolders->registerNotifications(sink);
    hotfolders->addHotfolder("scans", "flow", false, 0, hotfolderReply);
    EXPECT_EQ(hotfolderReply->results, std::vector<aai::HotfolderResult>{aai::HOTFOLDERRESULT_OK});
    ASSERT_EQ(sink->added.size(), 1u);
    EXPECT_FALSE(sink->added[0].second.hasRestrictToGroupId());
    hotfolders->unregisterNotifications(sink);

    auto settings = root->getSettingsServer("process-client");
    const aai::SettingItems items = settings->getSetting(aai::SettingKeys{"a", "b"});
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].getValue(), "value of b");
}

TEST_F(TwoProcesses, EightThreadsCallAtOnceEachWithItsOwnCallbacks) {
    auto email = session->getEmailAddressServer();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const std::string who = "t" + std::to_string(t) + "-" + std::to_string(i);
                auto reply = std::make_shared<e2e::EmailReply>();
                email->getEmailAddresses(who, false, reply);
                if (reply->recipients.size() != 1 || reply->recipients[0].getEmailAdddress() != who + "@corp" ||
                    reply->results.size() != 1)
                    ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(TwoProcesses, AServiceKilledMidCallReleasesTheCallerAndLaterCallsFailAtOnce) {
    trace::Capture capture;
    auto cluster = session->getClusterSecurityServer();
    std::atomic<bool> returned{false};
    std::string signature = "unset";
    std::thread caller([&] {
        try {
            signature = cluster->signData("sleep");
        } catch (const trace::FatalError& e) {
            signature = std::string("thrown: ") + e.what();
        }
        returned = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(returned.load());
    KillService();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!returned && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(returned.load()) << "the caller still waits for a dead service";
    caller.join();
    // The result nobody knows is not made up: the report is thrown.
    EXPECT_EQ(signature.rfind("thrown: The connection was lost", 0), 0u) << signature;

    EXPECT_THROW(cluster->getName(), trace::FatalError);
    bool reported = false;
    for (const auto& record : capture.FatalReports())
        reported |= record.text.find("'ClusterSecurityServer.getName'") != std::string::npos;
    EXPECT_TRUE(reported);
    EXPECT_THROW(aai::IAAService::Connect(), ipc2::ConnectError);
}

// A frozen service holds no caller past its deadline: calls waiting when it stopped and calls made
// after both end with DeadlineError, and once it goes on, so does the connection.
TEST_F(TwoProcesses, AStoppedServiceHoldsNoCallPastItsDeadline) {
    auto cluster = session->getClusterSecurityServer();
    ASSERT_EQ(cluster->getName(), "cluster-a");
    Freeze();
    std::atomic<int> expired{0};
    std::vector<std::thread> waiting;
    for (int i = 0; i < 3; ++i) {
        waiting.emplace_back([&] {
            ipc2::CallDeadline deadline(300ms);
            try {
                cluster->getName();
            } catch (const ipc2::DeadlineError&) {
                ++expired;
            }
        });
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto& thread : waiting) thread.join();
    {
        ipc2::CallDeadline deadline(300ms);
        EXPECT_THROW(cluster->getName(), ipc2::DeadlineError);
    }
    EXPECT_EQ(expired.load(), 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    Thaw();
    EXPECT_EQ(cluster->getName(), "cluster-a");
    EXPECT_EQ(cluster->signData("after"), "signed:after");
}

}  // namespace
