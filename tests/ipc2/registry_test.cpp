#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ipc2/registry.h"

namespace ipc2 = zel::proglibs::ipc2;
using ipc2::ConnectionHandler;
using ipc2::IProxy;
using ipc2::IStub;
using ipc2::ObjectRegistry;

namespace {

// A stub whose count the registry keeps, and whose destruction stands for releasing the
// implementation (it runs `onDestroy`, which may call back into the registry).
class FakeStub : public IStub {
public:
    FakeStub(int id, void* object, std::function<void()> onDestroy = {})
        : id_(id), object_(object), onDestroy_(std::move(onDestroy)) {
        ++alive;
    }
    ~FakeStub() override {
        --alive;
        if (onDestroy_) onDestroy_();
    }
    int GetId() override { return id_; }
    void* GetObject() override { return object_; }
    std::shared_ptr<ipc2::ByteStream> Receive(std::shared_ptr<ipc2::ByteStream>,
                                              std::shared_ptr<ConnectionHandler>) override {
        return nullptr;
    }
    void IncreaseReferenceCount() override { ++count_; }
    int DecreaseReferenceCount(int count) override { return count_ -= count; }
    bool GetSendFlag(int) override { return true; }

    int Count() const { return count_; }  // read only where no other thread runs
    static inline std::atomic<int> alive{0};

private:
    int id_;
    void* object_;
    std::function<void()> onDestroy_;
    int count_ = 1;
};

struct StubFactoryProbe {
    int calls = 0;
    std::function<void()> onDestroy;
    ipc2::StubFactory Factory() {
        return [this](void* object, int id, std::shared_ptr<ConnectionHandler>) {
            ++calls;
            return std::make_shared<FakeStub>(id, object, onDestroy);
        };
    }
};

int CountOf(const std::shared_ptr<IStub>& stub) { return static_cast<FakeStub&>(*stub).Count(); }

// A proxy that, like a generated one, removes itself from the registry when destroyed; `beforeRemove`
// runs first (where a real proxy would send its release).
class FakeProxy : public IProxy {
public:
    FakeProxy(int id, std::function<void(int)> remove, std::function<void()> beforeRemove = {})
        : id_(id), remove_(std::move(remove)), beforeRemove_(std::move(beforeRemove)) {}
    ~FakeProxy() override {
        if (beforeRemove_) beforeRemove_();
        remove_(id_);
        if (destroyed) ++*destroyed;
    }
    int GetId() override { return id_; }
    void IncreaseReferenceCount() override { ++count; }

    std::atomic<int> count{1};
    std::atomic<int>* destroyed = nullptr;

private:
    int id_;
    std::function<void(int)> remove_;
    std::function<void()> beforeRemove_;
};

class RegistryTest : public ::testing::Test {
protected:
    ipc2::ProxyFactory ProxyFactory(std::atomic<int>* destroyed = nullptr, std::function<void()> beforeRemove = {}) {
        return [this, destroyed, beforeRemove](int id, std::shared_ptr<ConnectionHandler>) {
            ++proxiesMade;
            auto proxy = std::make_shared<FakeProxy>(id, [this](int gone) { registry.RemoveProxy(gone); }, beforeRemove);
            proxy->destroyed = destroyed;
            return proxy;
        };
    }

    void TearDown() override {
        registry.Clear();
        EXPECT_EQ(FakeStub::alive.load(), 0) << "a stub outlived the registry";
    }

    ObjectRegistry registry;
    std::shared_ptr<ConnectionHandler> handler;  // the registry only passes it on to factories
    int proxiesMade = 0;
};

TEST_F(RegistryTest, AClosedRegistryStillMakesStubsButKeepsNone) {
    int object = 0;
    int root = 0;
    StubFactoryProbe probe;
    auto before = registry.GetOrCreateStub(&object, "T", probe.Factory(), handler);
    EXPECT_EQ(registry.Close(), 1u);
    // A request still running when its connection ended returns an object: the stub is made for
    // the reply that will not go, and is not kept (it would keep its connection for good).
    auto late = registry.GetOrCreateStub(&object, "T", probe.Factory(), handler);
    ASSERT_NE(late, nullptr);
    EXPECT_NE(late, before);
    EXPECT_EQ(registry.StubCount(), 0u);
    registry.AddStub(0, "Root", std::make_shared<FakeStub>(0, &root));
    EXPECT_EQ(registry.StubCount(), 0u);
    EXPECT_EQ(FakeStub::alive.load(), 2);
    before.reset();
    late.reset();
    EXPECT_EQ(FakeStub::alive.load(), 0);
}

TEST_F(RegistryTest, SameObjectAndTypeIsFoundAgainWithItsCountRaised) {
    int a = 0, b = 0;
    StubFactoryProbe probe;
    auto first = registry.GetOrCreateStub(&a, "T", probe.Factory(), handler);
    auto again = registry.GetOrCreateStub(&a, "T", probe.Factory(), handler);
    auto otherType = registry.GetOrCreateStub(&a, "U", probe.Factory(), handler);
    auto otherObject = registry.GetOrCreateStub(&b, "T", probe.Factory(), handler);

    EXPECT_EQ(first, again);
    EXPECT_EQ(probe.calls, 3);
    EXPECT_EQ(CountOf(first), 2);
    EXPECT_NE(first, otherType);
    EXPECT_NE(first, otherObject);
    std::vector<int> ids{first->GetId(), otherType->GetId(), otherObject->GetId()};
    for (int id : ids) EXPECT_GT(id, 0) << "0 belongs to the root stub";
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[1], ids[2]);
    EXPECT_NE(ids[0], ids[2]);
    EXPECT_EQ(registry.GetStub(ids[2]), otherObject);
    EXPECT_EQ(registry.StubCount(), 3u);
}

TEST_F(RegistryTest, DecreaseToZeroDropsTheStubAndReleasesTheImplementation) {
    int object = 0;
    bool released = false;
    StubFactoryProbe probe;
    probe.onDestroy = [&] { released = true; };
    auto stub = registry.GetOrCreateStub(&object, "T", probe.Factory(), handler);
    registry.GetOrCreateStub(&object, "T", probe.Factory(), handler);
    const int id = stub->GetId();

    EXPECT_EQ(registry.DecreaseStubReferenceCount(stub, 1, "T"), 1);
    EXPECT_EQ(registry.GetStub(id), stub);
    EXPECT_EQ(registry.DecreaseStubReferenceCount(stub, 1, "T"), 0);
    EXPECT_EQ(registry.GetStub(id), nullptr);
    EXPECT_EQ(registry.StubCount(), 0u);
    stub.reset();
    EXPECT_TRUE(released);

    // Once dropped, the object gets a new stub under a new id, and a late decrease for the old one
    // changes nothing.
    auto fresh = registry.GetOrCreateStub(&object, "T", probe.Factory(), handler);
    EXPECT_NE(fresh->GetId(), id);
    EXPECT_EQ(CountOf(fresh), 1);
    fresh.reset();
    registry.Clear();  // while `released` still exists
}

TEST_F(RegistryTest, DecreaseBelowZeroDropsAndLateDecreaseIsIgnored) {
    int object = 0;
    StubFactoryProbe probe;
    auto stub = registry.GetOrCreateStub(&object, "T", probe.Factory(), handler);
    EXPECT_LE(registry.DecreaseStubReferenceCount(stub, 5, "T"), 0);
    EXPECT_EQ(registry.StubCount(), 0u);
    const int countAfterDrop = CountOf(stub);
    EXPECT_EQ(registry.DecreaseStubReferenceCount(stub, 1, "T"), 0);
    EXPECT_EQ(CountOf(stub), countAfterDrop) << "an unregistered stub's count was changed";
    EXPECT_EQ(registry.DecreaseStubReferenceCount(nullptr, 1, "T"), 0);
}

// Releasing an implementation may reach the registry again (its destructor drops references it
// held): that happens after the lock is let go, or this would deadlock.
TEST_F(RegistryTest, ReleasedImplementationsMayCallBackIntoTheRegistry) {
    int a = 0, b = 0;
    std::vector<std::size_t> seen;
    StubFactoryProbe probe;
    probe.onDestroy = [&] {
        seen.push_back(registry.StubCount());
        StubFactoryProbe inner;
        auto s = registry.GetOrCreateStub(&b, "late", inner.Factory(), handler);
        registry.DecreaseStubReferenceCount(s, 1, "late");
    };
    registry.GetOrCreateStub(&a, "T", probe.Factory(), handler);
    registry.GetOrCreateStub(&b, "T", probe.Factory(), handler);
    EXPECT_EQ(registry.Clear(), 2u);
    EXPECT_EQ(seen, (std::vector<std::size_t>{0, 0}));
    EXPECT_EQ(registry.StubCount(), 0u);
}

// A cascade: dropping one stub releases an implementation that held another object's reference.
TEST_F(RegistryTest, DroppingAStubMayDropAnotherOne) {
    int a = 0, b = 0;
    StubFactoryProbe plain;
    auto inner = registry.GetOrCreateStub(&b, "T", plain.Factory(), handler);
    StubFactoryProbe holder;
    holder.onDestroy = [&, held = inner] { registry.DecreaseStubReferenceCount(held, 1, "T"); };
    auto outer = registry.GetOrCreateStub(&a, "T", holder.Factory(), handler);
    inner.reset();

    registry.DecreaseStubReferenceCount(outer, 1, "T");
    outer.reset();
    EXPECT_EQ(registry.StubCount(), 0u);
}

// The factory runs without the lock; when the same object was registered meanwhile, that stub
// wins (its count raised) and the factory's is dropped.
TEST_F(RegistryTest, StubRegisteredWhileTheFactoryRanWins) {
    int object = 0;
    std::shared_ptr<IStub> winner;
    StubFactoryProbe plain;
    bool loserDestroyed = false;
    auto racingFactory = [&](void* o, int id, std::shared_ptr<ConnectionHandler>) {
        winner = registry.GetOrCreateStub(o, "T", plain.Factory(), handler);
        return std::make_shared<FakeStub>(id, o, [&] {
            loserDestroyed = true;
            EXPECT_EQ(registry.StubCount(), 1u);  // takes the lock: must not be held
        });
    };
    auto got = registry.GetOrCreateStub(&object, "T", racingFactory, handler);
    EXPECT_EQ(got, winner);
    EXPECT_EQ(CountOf(got), 2);
    EXPECT_TRUE(loserDestroyed);
    EXPECT_EQ(registry.StubCount(), 1u);
}

TEST_F(RegistryTest, StubLimitRefusesTheStubPastIt) {
    ObjectRegistry small(2);
    int objects[3] = {};
    StubFactoryProbe probe;
    auto s0 = small.GetOrCreateStub(&objects[0], "T", probe.Factory(), handler);
    small.GetOrCreateStub(&objects[1], "T", probe.Factory(), handler);
    EXPECT_NO_THROW(small.GetOrCreateStub(&objects[1], "T", probe.Factory(), handler)) << "found again is no new stub";
    try {
        small.GetOrCreateStub(&objects[2], "T", probe.Factory(), handler);
        FAIL() << "third stub accepted";
    } catch (const ipc2::LimitError& e) {
        EXPECT_NE(std::string(e.what()).find("2"), std::string::npos) << e.what();
    }
    EXPECT_EQ(probe.calls, 2) << "the factory ran past the limit";
    small.DecreaseStubReferenceCount(s0, 1, "T");
    EXPECT_NO_THROW(small.GetOrCreateStub(&objects[2], "T", probe.Factory(), handler));
}

TEST_F(RegistryTest, BrokenFactoriesAreErrorsNamingTheType) {
    int object = 0;
    auto none = [](void*, int, std::shared_ptr<ConnectionHandler>) { return std::shared_ptr<IStub>(); };
    auto wrongId = [](void* o, int id, std::shared_ptr<ConnectionHandler>) {
        return std::make_shared<FakeStub>(id + 1, o);
    };
    for (const ipc2::StubFactory& factory : {ipc2::StubFactory(none), ipc2::StubFactory(wrongId)}) {
        try {
            registry.GetOrCreateStub(&object, "Widget", factory, handler);
            ADD_FAILURE() << "accepted";
        } catch (const ipc2::IpcError& e) {
            EXPECT_NE(std::string(e.what()).find("Widget"), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(registry.StubCount(), 0u);
}

TEST_F(RegistryTest, RootStubUnderIdZeroIsFoundByItsObject) {
    int root = 0;
    registry.AddStub(0, "Root", std::make_shared<FakeStub>(0, &root));
    StubFactoryProbe probe;
    auto found = registry.GetOrCreateStub(&root, "Root", probe.Factory(), handler);
    EXPECT_EQ(found, registry.GetStub(0));
    EXPECT_EQ(probe.calls, 0);
    EXPECT_EQ(CountOf(found), 2);
    EXPECT_THROW(registry.AddStub(0, "Other", std::make_shared<FakeStub>(0, &probe)), ipc2::IpcError);
    EXPECT_THROW(registry.AddStub(7, "Root", std::make_shared<FakeStub>(7, &root)), ipc2::IpcError);
    EXPECT_THROW(registry.AddStub(8, "Root", nullptr), ipc2::IpcError);
    EXPECT_EQ(registry.StubCount(), 1u);
}

// The registry never keeps a proxy alive.
TEST_F(RegistryTest, ProxiesAreHeldWeakly) {
    std::atomic<int> destroyed{0};
    auto proxy = registry.GetOrCreateProxy(5, ProxyFactory(&destroyed), handler);
    auto again = registry.GetOrCreateProxy(5, ProxyFactory(&destroyed), handler);
    EXPECT_EQ(proxy, again);
    EXPECT_EQ(proxiesMade, 1);
    EXPECT_EQ(static_cast<FakeProxy&>(*proxy).count.load(), 2);
    proxy.reset();
    again.reset();
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(registry.ProxyCount(), 0u);

    auto fresh = registry.GetOrCreateProxy(5, ProxyFactory(&destroyed), handler);
    EXPECT_EQ(proxiesMade, 2);
    EXPECT_EQ(static_cast<FakeProxy&>(*fresh).count.load(), 1);
}

// The remote object arrives again while its old proxy is being destroyed (after the last reference
// went, before it removed itself): the new proxy must survive the old one's late RemoveProxy.
TEST_F(RegistryTest, LateRemoveProxyKeepsTheNewerProxy) {
    std::shared_ptr<IProxy> newer;
    auto old = registry.GetOrCreateProxy(9, ProxyFactory(nullptr, [&] {
        newer = registry.GetOrCreateProxy(9, ProxyFactory(), handler);
    }), handler);
    old.reset();  // runs the arrival, then the old proxy's RemoveProxy(9)

    ASSERT_NE(newer, nullptr);
    EXPECT_EQ(proxiesMade, 2);
    EXPECT_EQ(registry.ProxyCount(), 1u);
    auto found = registry.GetOrCreateProxy(9, ProxyFactory(), handler);
    EXPECT_EQ(found, newer);
    EXPECT_EQ(proxiesMade, 2);
    EXPECT_EQ(static_cast<FakeProxy&>(*newer).count.load(), 2);
}

// Two arrivals of one remote object decoded at once: one proxy is kept, the other is dropped and
// gives back the single reference its arrival carried, so the kept one's count stays as it was.
TEST_F(RegistryTest, ProxyRegisteredWhileTheFactoryRanWins) {
    std::shared_ptr<IProxy> winner;
    std::atomic<int> destroyed{0};
    auto racingFactory = [&](int id, std::shared_ptr<ConnectionHandler> h) {
        winner = registry.GetOrCreateProxy(id, ProxyFactory(), h);
        auto loser = std::make_shared<FakeProxy>(id, [this](int gone) { registry.RemoveProxy(gone); });
        loser->destroyed = &destroyed;
        return loser;
    };
    auto got = registry.GetOrCreateProxy(3, racingFactory, handler);
    EXPECT_EQ(got, winner);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(static_cast<FakeProxy&>(*got).count.load(), 1);
    EXPECT_EQ(registry.GetOrCreateProxy(3, ProxyFactory(), handler), winner);
}

TEST_F(RegistryTest, NullProxyIsAnError) {
    auto none = [](int, std::shared_ptr<ConnectionHandler>) { return std::shared_ptr<IProxy>(); };
    EXPECT_THROW(registry.GetOrCreateProxy(1, none, handler), ipc2::IpcError);
    EXPECT_EQ(registry.ProxyCount(), 0u);
}

TEST_F(RegistryTest, ClearDropsStubsAndForgetsProxies) {
    int a = 0;
    bool released = false;
    StubFactoryProbe probe;
    probe.onDestroy = [&] { released = true; };
    registry.GetOrCreateStub(&a, "T", probe.Factory(), handler);
    auto proxy = registry.GetOrCreateProxy(4, ProxyFactory(), handler);
    EXPECT_EQ(registry.Clear(), 1u);
    EXPECT_TRUE(released);
    EXPECT_EQ(registry.ProxyCount(), 0u);
    EXPECT_NE(proxy, nullptr) << "Clear must not touch the proxies themselves";
    EXPECT_NE(registry.GetOrCreateProxy(4, ProxyFactory(), handler), proxy);
}

// Many threads finding, creating and dropping the same few stubs and proxies: afterwards every
// count balanced to zero and no stub or proxy is left or leaked.
TEST_F(RegistryTest, ConcurrentUseKeepsCountsConsistent) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    int objects[8] = {};
    std::atomic<int> stubsMade{0};
    std::atomic<int> proxiesDestroyed{0};
    std::atomic<int> proxiesCreated{0};
    auto stubFactory = [&](void* o, int id, std::shared_ptr<ConnectionHandler>) {
        ++stubsMade;
        return std::make_shared<FakeStub>(id, o);
    };
    auto proxyFactory = [&](int id, std::shared_ptr<ConnectionHandler>) {
        ++proxiesCreated;
        auto p = std::make_shared<FakeProxy>(id, [this](int gone) { registry.RemoveProxy(gone); });
        p->destroyed = &proxiesDestroyed;
        return p;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                void* object = &objects[(i + t) % 8];
                auto stub = registry.GetOrCreateStub(object, "T", stubFactory, handler);
                EXPECT_EQ(stub->GetObject(), object);
                EXPECT_EQ(registry.GetStub(stub->GetId()) == nullptr, false);
                auto proxy = registry.GetOrCreateProxy(i % 5, proxyFactory, handler);
                EXPECT_EQ(proxy->GetId(), i % 5);
                registry.DecreaseStubReferenceCount(stub, 1, "T");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(registry.StubCount(), 0u);
    EXPECT_EQ(registry.ProxyCount(), 0u);
    EXPECT_EQ(FakeStub::alive.load(), 0);
    EXPECT_EQ(proxiesDestroyed.load(), proxiesCreated.load());
    EXPECT_GE(stubsMade.load(), 8);
}

// A handler whose messaging half does nothing, to watch the registry half.
class QuietHandler : public ipc2::RegistryConnectionHandler {
public:
    using RegistryConnectionHandler::RegistryConnectionHandler;
    std::shared_ptr<ipc2::ByteStream> Send(std::shared_ptr<ipc2::ByteStream>, bool) override { return nullptr; }
    void Close() override {}
    bool IsConnected() const override { return true; }
    ipc2::PeerCredentials GetPeerCredentials() const override { return {}; }
    int lastProxyReports = 0;

protected:
    void OnLastProxyRemoved() override { ++lastProxyReports; }
};

ipc2::ProxyFactory HandlerProxyFactory() {
    return [](int id, std::shared_ptr<ConnectionHandler> h) {
        h->GetModuleId("core");  // as a generated proxy's constructor does, inside the factory
        return std::make_shared<FakeProxy>(id, [h](int gone) { h->RemoveProxy(gone); });
    };
}

TEST(RegistryConnectionHandlerTest, LastProxyRemovedIsReportedOnceAfterTheLastGoes) {
    auto handler = std::make_shared<QuietHandler>(std::vector<std::string>{"core"}, false);
    handler->RemoveProxy(1);  // nothing held yet: nothing to report
    EXPECT_EQ(handler->lastProxyReports, 0);

    auto a = handler->GetOrCreateProxy(1, HandlerProxyFactory());
    auto b = handler->GetOrCreateProxy(2, HandlerProxyFactory());
    a.reset();
    EXPECT_EQ(handler->lastProxyReports, 0);
    b.reset();
    EXPECT_EQ(handler->lastProxyReports, 1);
    handler->RemoveProxy(2);
    EXPECT_EQ(handler->lastProxyReports, 1);
}

TEST(RegistryConnectionHandlerTest, ModuleIdsAreIndexesInTheModuleList) {
    auto handler = std::make_shared<QuietHandler>(std::vector<std::string>{"core", "aai", "extra"}, true);
    EXPECT_TRUE(handler->IsServer());
    EXPECT_EQ(handler->GetModuleId("core"), 0);
    EXPECT_EQ(handler->GetModuleId("aai"), 1);
    EXPECT_EQ(handler->GetModuleId("extra"), 2);
    try {
        handler->GetModuleId("missing");
        FAIL();
    } catch (const ipc2::ProtocolError& e) {
        EXPECT_NE(std::string(e.what()).find("'missing'"), std::string::npos) << e.what();
    }
}

TEST(RegistryConnectionHandlerTest, AllocateGivesExactRoomAndRefusesNegativeSizes) {
    auto handler = std::make_shared<QuietHandler>(std::vector<std::string>{}, false);
    for (int size : {0, 9, 64, 65, 4096}) {
        auto s = handler->Allocate(size);
        EXPECT_EQ(s->Size(), 0u);
        const unsigned char* storage = s->Data();
        std::vector<unsigned char> bytes(static_cast<std::size_t>(size), 1);
        s->Write(bytes.data(), static_cast<unsigned>(size));
        EXPECT_EQ(s->Data(), storage) << size;
        handler->Free(s);
    }
    handler->Free(nullptr);
    EXPECT_THROW(handler->Allocate(-1), ipc2::StreamError);
}

TEST(RegistryConnectionHandlerTest, StubLimitComesFromTheLimits) {
    ipc2::Limits limits;
    limits.maxStubsPerConnection = 1;
    auto handler = std::make_shared<QuietHandler>(std::vector<std::string>{}, true, limits);
    int a = 0, b = 0;
    auto factory = [](void* o, int id, std::shared_ptr<ConnectionHandler>) { return std::make_shared<FakeStub>(id, o); };
    auto stub = handler->GetOrCreateStub(&a, "T", factory);
    EXPECT_THROW(handler->GetOrCreateStub(&b, "T", factory), ipc2::LimitError);
    handler->DecreaseStubReferenceCount(stub, 1, "T");
    EXPECT_EQ(handler->GetStub(stub->GetId()), nullptr);
    handler->Registry().Clear();
}

}  // namespace
