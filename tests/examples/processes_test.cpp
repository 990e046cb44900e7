// The example's programs as processes: the client's session is the same, and no slower, whatever
// another client does; the watching client follows the service through a restart; and the
// service lets go of everything a thousand vanished clients held.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "children.h"
#include "procfs.h"
#include "support.h"
#include "trace/trace.h"
#include "wait.h"

namespace {

using namespace examples_test;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What the example client prints of its session with a service that has just started.
const char* const kSession = R"(client: add user 'Margaret Lindqvist'
  reply: EDITUSERRESULT_SUCCESS
  notification: user 1 'Margaret Lindqvist' changed
client: add user 'Margaret Lindqvist' again
  reply: EDITUSERRESULT_USER_ALREADY_EXISTS
client: add user 'Tom Berg'
  reply: EDITUSERRESULT_SUCCESS
  notification: user 2 'Tom Berg' changed
client: edit user 1
  reply: EDITUSERRESULT_SUCCESS
  notification: user 1 'Margaret H. Lindqvist' changed
client: add group 'print-room'
  reply: EDITGROUPRESULT_SUCCESS
  notification: group 1 'print-room' changed
client: add members 1 and 2 to group 1
  reply: EDITGROUPMEMBERSHIPRESULT_SUCCESS
  notification: members of group 1 changed: [1, 2]
client: check a password
  result: [PASSWORDCOMPLEXITYERROR_TOO_SHORT, PASSWORDCOMPLEXITYERROR_MISSING_MIXED_CASE, PASSWORDCOMPLEXITYERROR_INSUFFICIENT_NUMERICS]
client: delete user 2
  reply: done
  notification: users deleted [2]
client: done
)";

struct Session {
    int status = -1;
    std::string out;
    // From its first line to its last: its requests and the notifications it waited for, without
    // the start of a process (which a loaded machine, or a sanitizer, makes long and uneven).
    Clock::duration took{};
};

// One run of the example client.
Session RunClient(const std::string& ipcDir) {
    children::Program client({EXAMPLE_CLIENT}, children::Program::In(ipcDir));
    Session session;
    session.status = client.Wait(std::chrono::seconds(30));
    session.took = client.FirstToLastLine();
    session.out = client.Transcript();
    return session;
}

long long Ms(Clock::duration d) { return std::chrono::duration_cast<milliseconds>(d).count(); }

std::vector<std::string> NotificationLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("  notification:", 0) == 0) lines.push_back(line);
    }
    return lines;
}

// A silent sink, whether a client that was stopped (SIGSTOP) after registering, whose requests
// wait in its socket, or a sink of this process that blocks in its call (which, in one process,
// cannot be cut short), holds neither the honest client's requests nor its notifications: its
// session prints the same, in order, and takes at most twice as long as alone (plus a margin for a
// loaded machine). The stopped client is dropped at its notification deadline; the blocking sink
// once it returns after it.
TEST_F(ServiceHere, ASilentSinkNeitherSlowsAnHonestSessionNorOutstaysItsDeadline) {
    const example::NotifierOptions options{200ms, 1000};
    const std::string deadlineText = "a notification got no answer within 200 ms";

    // Alone: a first session warms the caches, the second is the measure.
    Clock::duration alone{};
    for (int i = 0; i < 2; ++i) {
        StartService(options);
        const Session session = RunClient(dir_.Path());
        ASSERT_EQ(session.status, 0);
        ASSERT_EQ(session.out, kSession);
        alone = session.took;
        StopService();
    }
    const Clock::duration bound = 2 * alone + 500ms;

    {
        SCOPED_TRACE("a client stopped with SIGSTOP");
        trace::Capture capture;
        StartService(options);
        children::Program frozen({EXAMPLE_CLIENT, "--watch"}, children::Program::In(dir_.Path()));
        ASSERT_TRUE(frozen.AwaitLine("client: watching"));
        ASSERT_EQ(store->NotificationSinks(), 1u);
        frozen.Freeze();

        const auto start = Clock::now();
        const Session session = RunClient(dir_.Path());
        const auto ran = Clock::now() - start;
        EXPECT_EQ(session.status, 0);
        EXPECT_EQ(session.out, kSession);
        EXPECT_LE(session.took, bound) << "alone " << Ms(alone) << " ms, beside a stopped client "
                                       << Ms(session.took) << " ms";
        // Its first notification was posted during the session.
        EXPECT_TRUE(WaitUntil([&] { return DropsLogged(capture, deadlineText) == 1; }, 10s)) << Logged(capture);
        const auto dropped = Clock::now() - start;
        EXPECT_LT(dropped, ran + 2s) << "dropped " << Ms(dropped) << " ms after the client started, which ran "
                                     << Ms(ran) << " ms";
        EXPECT_EQ(store->NotificationSinks(), 0u);
        std::cout << "[ figures  ] session alone " << Ms(alone) << " ms, beside a stopped client "
                  << Ms(session.took) << " ms; the stopped client dropped " << Ms(dropped)
                  << " ms after the honest one started"
                  << std::endl;

        // Let go on, it leaves when told to.
        frozen.Signal(SIGCONT);
        frozen.Signal(SIGTERM);
        EXPECT_EQ(frozen.Wait(), 0);
        EXPECT_NE(frozen.Transcript().find("client: stopped"), std::string::npos) << frozen.Transcript();
        StopService();
    }
    {
        SCOPED_TRACE("a sink that blocks in its call");
        trace::Capture capture;
        StartService(options);
        Client silent;
        ASSERT_NE(silent.users, nullptr);
        auto sink = std::make_shared<Sink>(Sink::Mode::Block);
        silent.users->registerNotifications(sink);

        const Session session = RunClient(dir_.Path());
        EXPECT_EQ(session.status, 0);
        EXPECT_EQ(session.out, kSession);
        EXPECT_LE(session.took, bound) << "alone " << Ms(alone) << " ms, beside a blocking sink "
                                       << Ms(session.took) << " ms";
        EXPECT_TRUE(sink->Blocked()) << "the sink was not in a call during the session";
        EXPECT_EQ(sink->Count(), 1u);
        std::cout << "[ figures  ] session beside a blocking sink " << Ms(session.took) << " ms" << std::endl;

        // It answers, but after its deadline: its call began before the session ended.
        std::this_thread::sleep_for(300ms);
        sink->Release();
        EXPECT_TRUE(WaitUntil([&] { return DropsLogged(capture, deadlineText) == 1; }));
        EXPECT_EQ(store->NotificationSinks(), 0u);
        EXPECT_EQ(sink->Count(), 1u);
        StopService();
    }
}

// Watching, the client waits for a service that is not there yet, says when its connection ends,
// and is back as soon as the service is, hearing every change again.
TEST(ExampleClient, WatchingFollowsTheServiceThroughARestart) {
    children::TempDir dir;
    const auto options = children::Program::In(dir.Path());
    children::Program watcher({EXAMPLE_CLIENT, "--watch"}, options);
    ASSERT_TRUE(watcher.AwaitLine("client: no service yet")) << watcher.Transcript();

    auto service = std::make_unique<children::Program>(std::vector<std::string>{EXAMPLE_SERVICE}, options);
    ASSERT_TRUE(service->AwaitLine("service: serving"));
    ASSERT_TRUE(watcher.AwaitLine("client: watching")) << watcher.Transcript();

    service->Kill();  // gone without a word
    ASSERT_TRUE(watcher.AwaitLine("client: the connection to the service ended")) << watcher.Transcript();
    service = std::make_unique<children::Program>(std::vector<std::string>{EXAMPLE_SERVICE}, options);
    ASSERT_TRUE(service->AwaitLine("service: serving"));
    ASSERT_TRUE(watcher.AwaitLine("client: watching")) << watcher.Transcript();

    const Session session = RunClient(dir.Path());
    ASSERT_EQ(session.status, 0);
    EXPECT_EQ(session.out, kSession);
    const std::vector<std::string> expected = NotificationLines(kSession);
    ASSERT_EQ(expected.size(), 6u);
    std::vector<std::string> heard;
    std::string line;
    while (heard.size() < expected.size() && watcher.NextLine(line)) heard.push_back(line);
    EXPECT_EQ(heard, expected);

    watcher.Signal(SIGTERM);
    EXPECT_EQ(watcher.Wait(), 0);
    EXPECT_NE(watcher.Transcript().find("client: stopped"), std::string::npos) << watcher.Transcript();
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(), 0);
}

// What `count` gives once it has not changed for a while (bounded: the bound only catches a count
// that never settles).
int Settled(const std::function<int()>& count) {
    int last = count();
    auto since = Clock::now();
    const auto end = since + 10s;
    while (Clock::now() < end && Clock::now() - since < 300ms) {
        std::this_thread::sleep_for(10ms);
        const int now = count();
        if (now != last) {
            last = now;
            since = Clock::now();
        }
    }
    return last;
}

// One client that registers a sink, hears of a change, and vanishes without a word.
void ComeAndVanish(const std::string& name) {
    Client client;
    ASSERT_NE(client.users, nullptr);
    auto sink = std::make_shared<Sink>();
    client.users->registerNotifications(sink);
    client.users->addUser(User(name), std::make_shared<NoReply>());
    EXPECT_TRUE(sink->AwaitCount(1));
    client.Close();
}

// A thousand clients connect, register a sink and vanish without a word, in batches of ten, half
// of them while a change is on its way to them. The service drops every sink, its descriptors and
// threads come back to what they were after its first client (which started what a service keeps
// for good, and, under a sanitizer, the sanitizer's own thread), and the next client's session
// works.
TEST(ExampleServiceProcess, AThousandClientsThatVanishLeaveNothingBehind) {
    constexpr int kClients = 1000;
    constexpr int kBatch = 10;
    children::TempDir dir;
    ::setenv("ZEL_IPC_DIR", dir.Path().c_str(), 1);  // this process connects as a client
    const std::string log = dir.Path() + "/service.err";
    children::Program service({EXAMPLE_SERVICE}, {dir.Path(), dir.Path() + "/service.out", log});
    const std::string socket = dir.Path() + "/AAI.sock";
    ASSERT_TRUE(WaitUntil([&] { return ::access(socket.c_str(), F_OK) == 0; }, 10s));
    const std::string proc = "/proc/" + std::to_string(service.Pid());
    const std::function<int()> fds = [&] { return procfs::CountEntries((proc + "/fd").c_str()); };
    const std::function<int()> threads = [&] { return procfs::CountEntries((proc + "/task").c_str()); };
    const auto dropped = [&] { return children::CountLines(children::ReadFile(log), "dropped the notification sink"); };

    ComeAndVanish("first");
    ASSERT_TRUE(WaitUntil([&] { return dropped() == 1; }, 10s));
    const int fdsBefore = Settled(fds);
    const int threadsBefore = Settled(threads);

    const auto start = Clock::now();
    for (int b = 0; b < kClients / kBatch; ++b) {
        std::vector<Client> batch(kBatch);
        std::vector<std::shared_ptr<Sink>> sinks;
        for (auto& client : batch) {
            ASSERT_NE(client.users, nullptr) << "batch " << b;
            sinks.push_back(std::make_shared<Sink>());
            client.users->registerNotifications(sinks.back());
        }
        batch[0].users->addUser(User("vanishing " + std::to_string(b)), std::make_shared<NoReply>());
        if (b % 2 == 0) {
            for (auto& sink : sinks) ASSERT_TRUE(sink->AwaitCount(1)) << "batch " << b;
        }
        for (auto& client : batch) client.Close();
    }
    const auto connected = Clock::now() - start;

    EXPECT_TRUE(WaitUntil([&] { return dropped() == 1 + kClients; }, 30s)) << dropped() << " sinks dropped";
    EXPECT_TRUE(WaitUntil([&] { return threads() == threadsBefore; }, 30s))
        << threads() << " threads, " << threadsBefore << " before the clients";
    EXPECT_TRUE(WaitUntil([&] { return fds() == fdsBefore; }, 30s))
        << fds() << " descriptors, " << fdsBefore << " before the clients";
    std::cout << "[ figures  ] " << kClients << " clients came and went in " << Ms(connected) << " ms; the service has "
              << fds() << " descriptors (" << fdsBefore << " before) and " << threads() << " threads ("
              << threadsBefore << " before)" << std::endl;

    const Session session = RunClient(dir.Path());
    EXPECT_EQ(session.status, 0);
    EXPECT_EQ(NotificationLines(session.out).size(), 6u) << session.out;
    EXPECT_NE(session.out.find("client: done"), std::string::npos) << session.out;

    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), 0);
}

}  // namespace
