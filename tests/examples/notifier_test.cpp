// The example service's notifications, with the service and its clients in this process: each
// sink gets every change in order and off the request's thread, and a sink that fails, does not
// answer in time, falls too far behind or loses its connection is dropped and let go, while the
// others go on.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ipc2/connectionhandler.h"
#include "ipc2/errors.h"
#include "notifier.h"
#include "procfs.h"
#include "support.h"
#include "trace/trace.h"
#include "wait.h"

namespace {

using namespace examples_test;
namespace ipc2 = zel::proglibs::ipc2;
using Clock = std::chrono::steady_clock;

TEST_F(ServiceHere, EverySinkGetsEveryChangeOnceInOrderOffTheRequestsThread) {
    StartService();
    Client a, b;
    ASSERT_NE(a.users, nullptr);
    ASSERT_NE(b.users, nullptr);
    auto first = std::make_shared<Sink>();
    auto second = std::make_shared<Sink>();
    a.users->registerNotifications(first);
    a.users->registerNotifications(first);  // once is enough: told once per change
    b.users->registerNotifications(second);
    EXPECT_EQ(store->NotificationSinks(), 2u);

    std::vector<std::string> expected;
    for (int i = 1; i <= 50; ++i) {
        (i % 2 ? a : b).users->setValue1(i);
        expected.push_back("value1 " + std::to_string(i));
    }
    a.users->addUser(User("Ann"), std::make_shared<NoReply>());
    expected.push_back("user 1 'Ann'");
    ASSERT_TRUE(first->AwaitCount(expected.size()));
    ASSERT_TRUE(second->AwaitCount(expected.size()));
    // One more change, and nothing came twice meanwhile.
    b.users->setValue1(51);
    expected.push_back("value1 51");
    ASSERT_TRUE(first->AwaitCount(expected.size()));
    ASSERT_TRUE(second->AwaitCount(expected.size()));
    EXPECT_EQ(first->Seen(), expected);
    EXPECT_EQ(second->Seen(), expected);
    // In this process a call runs on the caller's thread: a sink called by the request would
    // have been called on this one.
    EXPECT_EQ(first->Threads().count(std::this_thread::get_id()), 0u);
    EXPECT_EQ(second->Threads().count(std::this_thread::get_id()), 0u);
}

// Whatever makes a sink go, it goes alone: the service answers meanwhile, the other sink gets
// every change in order, the dropped sink gets nothing more, the service's proxy of it is let go,
// and the reason is logged once.
TEST_F(ServiceHere, ASinkIsDroppedAndLetGoForEachReasonWhileTheOthersGoOn) {
    struct Case {
        const char* name;
        Sink::Mode mode;
        example::NotifierOptions options;
        // What makes it go, given the client that registered it; the changes it causes (which the
        // honest sink sees) are the values 1..n.
        std::function<int(Client&, aai::IUsersAndGroupsServer&, Sink& bad, Sink& good)> act;
        bool droppedWhileBlocked;  // before the sink's call returns
        const char* reason;
    };
    const Case cases[] = {
        {"a sink that throws", Sink::Mode::Throw, {5000ms, 1000},
         [](Client&, aai::IUsersAndGroupsServer& users, Sink&, Sink&) {
             users.setValue1(1);
             users.setValue1(2);
             return 2;
         },
         false, "a notification failed"},
        // In this process a call cannot be cut short: the sink is let go when it returns late.
        {"a sink that answers after its deadline", Sink::Mode::Block, {200ms, 1000},
         [](Client&, aai::IUsersAndGroupsServer& users, Sink&, Sink&) {
             users.setValue1(1);
             users.setValue1(2);
             return 2;
         },
         false, "a notification got no answer within 200 ms"},
        {"a sink whose queue overflows", Sink::Mode::Block, {30000ms, 3},
         [](Client&, aai::IUsersAndGroupsServer& users, Sink& bad, Sink& good) {
             // The first is in the sink's call, three wait, the fifth has no room. One at a time,
             // so that the honest sink's queue never holds more than one, however slowly its
             // thread is scheduled.
             users.setValue1(1);
             EXPECT_TRUE(WaitUntil([&] { return bad.Blocked(); }));
             for (int i = 1; i <= 5; ++i) {
                 if (i > 1) users.setValue1(i);
                 EXPECT_TRUE(good.AwaitCount(static_cast<std::size_t>(i)));
             }
             return 5;
         },
         true, "more than 3 notifications were waiting for it"},
        {"a sink whose connection ended", Sink::Mode::Answer, {5000ms, 1000},
         [](Client& own, aai::IUsersAndGroupsServer&, Sink&, Sink&) {
             own.Close();
             return 0;
         },
         true, "its connection ended"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        trace::Capture capture;
        StartService(c.options);
        Client honest, own;
        ASSERT_NE(honest.users, nullptr);
        ASSERT_NE(own.users, nullptr);
        auto good = std::make_shared<Sink>();
        auto bad = std::make_shared<Sink>(c.mode);
        honest.users->registerNotifications(good);
        own.users->registerNotifications(bad);
        const auto proxy = store->Registered(1);
        ASSERT_FALSE(proxy.expired());

        const auto start = Clock::now();
        const int changes = c.act(own, *honest.users, *bad, *good);
        EXPECT_LT(Clock::now() - start, 2s) << "the requests waited for a sink";
        ASSERT_TRUE(good->AwaitCount(static_cast<std::size_t>(changes))) << Logged(capture) << good->Count();
        if (c.droppedWhileBlocked) {
            EXPECT_TRUE(WaitUntil([&] { return store->NotificationSinks() == 1; }));
            EXPECT_EQ(DropsLogged(capture, c.reason), 1);
        }
        if (c.mode == Sink::Mode::Block) {
            EXPECT_TRUE(WaitUntil([&] { return bad->Blocked(); }));
            std::this_thread::sleep_for(300ms);  // past the short deadline
            bad->Release();
        }
        EXPECT_TRUE(WaitUntil([&] { return store->NotificationSinks() == 1; }));
        EXPECT_TRUE(WaitUntil([&] { return proxy.expired(); })) << "the service still holds the sink";
        EXPECT_TRUE(WaitUntil([&] { return DropsLogged(capture, c.reason) == 1; }));

        const std::size_t told = bad->Count();
        EXPECT_LE(told, c.mode == Sink::Mode::Answer ? 0u : 1u) << "notified after it failed";
        honest.users->setValue1(99);
        ASSERT_TRUE(good->AwaitCount(static_cast<std::size_t>(changes) + 1));
        std::vector<std::string> expected;
        for (int i = 1; i <= changes; ++i) expected.push_back("value1 " + std::to_string(i));
        expected.push_back("value1 99");
        EXPECT_EQ(good->Seen(), expected);
        EXPECT_EQ(bad->Count(), told);
        EXPECT_EQ(DropsLogged(capture, ""), 1) << "only the bad sink is dropped";
        StopService();
    }
}

TEST_F(ServiceHere, AnUnregisteredSinkIsToldNothingMoreAndLetGo) {
    trace::Capture capture;
    StartService();
    Client client;
    ASSERT_NE(client.users, nullptr);
    auto sink = std::make_shared<Sink>();
    auto witness = std::make_shared<Sink>();
    client.users->registerNotifications(sink);
    client.users->registerNotifications(witness);
    const auto proxy = store->Registered(0);
    client.users->setValue1(1);
    ASSERT_TRUE(sink->AwaitCount(1));
    client.users->unregisterNotifications(sink);
    client.users->unregisterNotifications(sink);  // no longer registered: nothing happens
    EXPECT_TRUE(WaitUntil([&] { return proxy.expired(); }));
    client.users->setValue1(2);
    ASSERT_TRUE(witness->AwaitCount(2));
    EXPECT_EQ(sink->Seen(), std::vector<std::string>{"value1 1"});
    EXPECT_EQ(store->NotificationSinks(), 1u);
    EXPECT_EQ(DropsLogged(capture, ""), 0) << "an unregistration is not a failure";
}

// Stop waits for a sink that is in a call (in this process it cannot be cut short), then no thread
// of the notifier is left, and later changes are announced to nobody.
TEST_F(ServiceHere, StopReturnsWithEveryThreadOfTheNotifierEnded) {
    // A sanitizer starts a thread of its own with the process's first: counted in the baseline.
    std::thread([] {}).join();
    const int before = procfs::ThreadCount();
    StartService({5000ms, 1000});
    Client client;
    ASSERT_NE(client.users, nullptr);
    auto blocking = std::make_shared<Sink>(Sink::Mode::Block);
    auto answering = std::make_shared<Sink>();
    client.users->registerNotifications(blocking);
    client.users->registerNotifications(answering);
    for (int i = 1; i <= 3; ++i) client.users->setValue1(i);
    ASSERT_TRUE(answering->AwaitCount(3));
    ASSERT_TRUE(WaitUntil([&] { return blocking->Blocked(); }));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        service->Stop();
        stopped = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(stopped.load()) << "Stop left a thread in a sink's call behind";
    blocking->Release();
    stopper.join();
    EXPECT_TRUE(WaitUntil([&] { return procfs::ThreadCount() == before; }))
        << procfs::ThreadCount() << " threads, " << before << " before the service started";
    EXPECT_EQ(store->NotificationSinks(), 0u);

    client.users->setValue1(4);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(answering->Count(), 3u);
    EXPECT_EQ(blocking->Count(), 1u);
    EXPECT_EQ(procfs::ThreadCount(), before);
}

// ---------------------------------------------------------------------------------------------
// When a connection says it ended: at once, on another thread while changes are posted, or after
// the notifier is gone. A connection of the test's own says so when told to.

class EndingConnection : public ipc2::ConnectionHandler {
public:
    explicit EndingConnection(bool ended) : ended_(ended) {}

    void End() {
        std::vector<std::function<void()>> callbacks;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
            callbacks.swap(callbacks_);
        }
        for (auto& callback : callbacks) callback();
    }
    void OnDisconnect(std::function<void()> callback) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!ended_) {
                callbacks_.push_back(std::move(callback));
                return;
            }
        }
        callback();
    }
    bool IsConnected() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return !ended_;
    }
    ipc2::PeerCredentials GetPeerCredentials() const override { return {}; }

    std::shared_ptr<ipc2::ByteStream> Allocate(int) override { throw ipc2::IpcError("not a real connection"); }
    std::shared_ptr<ipc2::ByteStream> Send(std::shared_ptr<ipc2::ByteStream>, bool) override {
        throw ipc2::IpcError("not a real connection");
    }
    void Free(std::shared_ptr<ipc2::ByteStream>) override {}
    unsigned char GetModuleId(std::string) override { return 0; }
    bool IsServer() const override { return true; }
    std::shared_ptr<ipc2::IStub> GetOrCreateStub(void*, std::string, ipc2::StubFactory) override {
        throw ipc2::IpcError("not a real connection");
    }
    std::shared_ptr<ipc2::IStub> GetStub(int) override { return nullptr; }
    std::shared_ptr<ipc2::IProxy> GetOrCreateProxy(int, ipc2::ProxyFactory) override {
        throw ipc2::IpcError("not a real connection");
    }
    void RemoveProxy(int) override {}
    void DecreaseStubReferenceCount(std::shared_ptr<ipc2::IStub>, int, std::string) override {}
    void Close() override { End(); }

private:
    mutable std::mutex mutex_;
    bool ended_;
    std::vector<std::function<void()>> callbacks_;
};

// A sink as the service sees a client's: a proxy that names its connection.
class RemoteSink : public Sink, public ipc2::IProxy {
public:
    explicit RemoteSink(std::shared_ptr<ipc2::ConnectionHandler> connection) : connection_(std::move(connection)) {}
    int GetId() override { return 1; }
    void IncreaseReferenceCount() override {}
    std::shared_ptr<ipc2::ConnectionHandler> GetConnection() override { return connection_; }

private:
    std::shared_ptr<ipc2::ConnectionHandler> connection_;
};

TEST(NotifierConnections, ASinkWhoseConnectionHasEndedAlreadyIsLetGoAtOnce) {
    trace::Capture capture;
    example::Notifier notifier;
    auto connection = std::make_shared<EndingConnection>(true);
    auto sink = std::make_shared<RemoteSink>(connection);
    std::weak_ptr<RemoteSink> held = sink;
    notifier.Add(std::move(sink));
    EXPECT_EQ(notifier.SinkCount(), 0u);
    EXPECT_TRUE(held.expired());
    EXPECT_EQ(DropsLogged(capture, "its connection ended"), 1);
}

TEST(NotifierConnections, AConnectionThatEndsWhileChangesArePostedDropsItsSinkThere) {
    trace::Capture capture;
    example::Notifier notifier;
    auto connection = std::make_shared<EndingConnection>(false);
    auto sink = std::make_shared<RemoteSink>(connection);
    auto witness = std::make_shared<Sink>();
    notifier.Add(sink);
    notifier.Add(witness);
    std::thread poster([&] {
        for (int i = 1; i <= 300; ++i) notifier.Post([i](aai::IUsersAndGroupsNotifications& s) { s.value1Changed(i); });
    });
    const bool underWay = sink->AwaitCount(20);
    std::thread ender([&] { connection->End(); });
    ender.join();
    poster.join();
    ASSERT_TRUE(underWay);
    ASSERT_TRUE(witness->AwaitCount(300));
    EXPECT_EQ(notifier.SinkCount(), 1u);
    notifier.Stop();
    // What it got before is a prefix of what was posted, in order.
    const auto seen = sink->Seen();
    EXPECT_GE(seen.size(), 20u);
    EXPECT_LT(seen.size(), 300u + 1);
    for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], "value1 " + std::to_string(i + 1));
    EXPECT_EQ(sink.use_count(), 1) << "the notifier still holds the sink";
    EXPECT_EQ(DropsLogged(capture, "its connection ended"), 1);
}

TEST(NotifierConnections, AConnectionThatEndsAfterTheNotifierIsGoneFindsNothingToDo) {
    auto connection = std::make_shared<EndingConnection>(false);
    auto sink = std::make_shared<RemoteSink>(connection);
    {
        example::Notifier notifier;
        notifier.Add(sink);
        notifier.Post([](aai::IUsersAndGroupsNotifications& s) { s.value1Changed(1); });
        ASSERT_TRUE(sink->AwaitCount(1));
    }
    EXPECT_EQ(sink.use_count(), 1);
    trace::Capture capture;
    connection->End();
    EXPECT_EQ(DropsLogged(capture, ""), 0);
}

}  // namespace
