// A connection between two processes faulted by one of them while calls are in flight, at every
// depth of a chain of nested callbacks, in both directions: the service faulting while the test
// is its client, and the client faulting while the test is its service. Whatever the fault, the
// side that survives must get every pending call back soon (a void call returns; a call with a
// result reports the lost connection and gives a default value), fail later calls at once, drop
// the connection's stubs and release their implementations, and (as the server) run its
// Disconnected hook, without hanging or crashing.
//
// The faults other than a kill are made by a relay inside the faulty process, between its
// connection and the test, which forwards whole frames and on command closes, half-closes, or
// writes a truncated or malformed frame towards the test (see process_peer.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "child.h"
#include "peer.h"
#include "trace/trace.h"

namespace {

namespace aai = zel::iface::aai;
namespace ipc2 = zel::proglibs::ipc2;
using namespace std::chrono_literals;

// How soon the survivor's pending calls must come back after the fault, and later calls return.
constexpr auto kSoon = 1s;
// How long to wait for the processes to reach the point where the fault is made.
constexpr auto kSetUpBound = 20s;

enum class Fault { Kill, Close, HalfClose, TruncatedThenStall, TruncatedThenClose, Garbage };
enum class Faulty { Service, Client };

struct Case {
    Faulty faulty;
    Fault fault;
    int depth;  // where the chain stops when the fault comes: see peer.h
};

const char* Command(Fault f) {
    switch (f) {
    case Fault::Kill: return "kill";
    case Fault::Close: return "close";
    case Fault::HalfClose: return "halfclose";
    case Fault::TruncatedThenStall: return "trunc-stall";
    case Fault::TruncatedThenClose: return "trunc-close";
    case Fault::Garbage: return "garbage";
    }
    return "?";
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    static const char* const faults[] = {"Killed", "Closes", "HalfCloses", "TruncatesThenStalls",
                                         "TruncatesThenCloses", "SendsGarbage"};
    const Case& c = info.param;
    return std::string(c.faulty == Faulty::Service ? "Service" : "Client") + faults[static_cast<int>(c.fault)] +
           "AtDepth" + std::to_string(c.depth);
}

// A call on a thread of its own, so that the test can bound how long it takes.
class Pending {
public:
    explicit Pending(std::function<void()> call)
        : thread_([this, call = std::move(call)] {
              call();
              done_ = true;
          }) {}
    ~Pending() { Join(); }
    bool Done() const { return done_.load(); }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// What a call with a result comes to on a lost connection: its report, thrown ("thrown: " and the
// text), so that no made-up result reaches the caller.
template <class Call>
std::string Outcome(Call call) {
    try {
        call();
    } catch (const trace::FatalError& e) {
        return std::string("thrown: ") + e.what();
    }
    return "returned";
}

bool IsLost(const std::string& outcome) {
    return outcome.rfind("thrown: ", 0) == 0 && outcome.find("connection was lost") != std::string::npos;
}

int CountReports(const trace::Capture& capture, const std::string& method) {
    int n = 0;
    for (const auto& record : capture.FatalReports())
        n += record.text.find("'" + method + "'") != std::string::npos &&
             record.text.find("connection was lost") != std::string::npos;
    return n;
}

class FaultMatrix : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        ::setenv("ZEL_IPC_DIR", dir_.Path().c_str(), 1);
        // A peer that stops inside a frame is given up on after this pause, well within the
        // second in which the survivor's calls must come back.
        defaults_ = aai::GetConnectionLimits();
        zel::proglibs::ipc2::Limits limits = defaults_;
        limits.frameTimeoutMs = 300;
        aai::SetConnectionLimits(limits);
    }

    void TearDown() override {
        aai::SetConnectionLimits(defaults_);
        gate_.Open();
        if (child_.Running()) {
            child_.Kill();
        } else if (child_.Started() && GetParam().fault != Fault::Kill && !killedForHang_) {
            ADD_FAILURE() << "the faulty process ended by itself, status " << child_.Status();
        }
        if (connector_) connector_->StopServing();
    }

    // The survivor's calls stop on its side at odd depths when the test is the client, at even
    // depths when it is the service.
    bool StopsOnSurvivor() const {
        const Case& c = GetParam();
        return (c.faulty == Faulty::Service) == (c.depth % 2 == 1);
    }

    ::testing::AssertionResult ReachStop() {
        const std::string where = peer::DepthText(GetParam().depth);
        const bool reached = StopsOnSurvivor() ? gate_.WaitReached(where, kSetUpBound) : child_.Expect(where, kSetUpBound);
        if (!reached) return ::testing::AssertionFailure() << "the chain never reached " << where;
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult InjectFault() {
        const Fault f = GetParam().fault;
        if (f == Fault::Kill) {
            child_.Kill();
        } else if (!child_.Command(Command(f)) || !child_.Expect(std::string("done ") + Command(f), kSetUpBound)) {
            return ::testing::AssertionFailure() << "the relay did not make the fault " << Command(f);
        }
        // Calls that stopped on this side go on now, into a connection that is no longer there.
        gate_.Open();
        return ::testing::AssertionSuccess();
    }

    // Waits the short bound for `done`. When it does not hold the survivor hangs: the fault
    // becomes a kill so that its threads can still be joined, and if even that does not release
    // them the process cannot end cleanly and stops here.
    bool ReturnSoon(const std::function<bool()>& done, const char* what) {
        if (WaitUntil(done, kSoon)) return true;
        ADD_FAILURE() << what << " did not return within " << kSoon.count() << " s of the fault";
        killedForHang_ = true;
        child_.Kill();
        if (!WaitUntil(done, 10s)) {
            std::fprintf(stderr, "%s still waits after the faulty process was killed: hung\n", what);
            std::abort();
        }
        return false;
    }

    void ServiceFaults();
    void ClientFaults();

    peer::SocketDir dir_;
    peer::Child child_;
    peer::Gate gate_;
    std::shared_ptr<peer::ServingConnector> connector_;
    bool killedForHang_ = false;
    zel::proglibs::ipc2::Limits defaults_;
};

// The test is the client; the service's process is faulted.
void FaultMatrix::ServiceFaults() {
    const int depth = GetParam().depth;
    trace::Capture capture;
    child_.Start("service", dir_.Path());
    ASSERT_TRUE(child_.Expect("ready", kSetUpBound));

    auto root = aai::IAAService::Connect();
    ASSERT_NE(root, nullptr);
    auto session = root->registerClient("survivor");
    ASSERT_NE(session, nullptr);
    auto email = session->getEmailAddressServer();
    auto cluster = session->getClusterSecurityServer();
    ASSERT_TRUE(email && cluster);
    auto rootProxy = std::dynamic_pointer_cast<aai::AAServiceProxy>(root);
    ASSERT_NE(rootProxy, nullptr);
    auto connection = std::dynamic_pointer_cast<ipc2::RegistryConnectionHandler>(rootProxy->GetConnectionHandler());
    ASSERT_NE(connection, nullptr);

    auto reply = std::make_shared<peer::ChainReply>(depth, cluster, &gate_);
    const std::weak_ptr<peer::ChainReply> replyAlive = reply;
    std::string parked = "unset";
    {
        Pending park([&] { parked = Outcome([&] { return cluster->signData("park"); }); });
        ASSERT_TRUE(child_.Expect("parked", kSetUpBound));
        Pending chain([&] { email->getEmailAddresses(peer::ChainText(depth), false, reply); });
        ASSERT_TRUE(ReachStop());
        ASSERT_TRUE(InjectFault());
        ReturnSoon([&] { return park.Done() && chain.Done(); }, "a pending call of the client");
    }
    EXPECT_TRUE(IsLost(parked)) << parked;
    if (depth >= 2) {
        EXPECT_TRUE(reply->nestedReturned.load());
        EXPECT_TRUE(IsLost(reply->nested)) << reply->nested;
    }

    // Later calls fail at once: with a result, the report thrown; without, they just return.
    std::string name = "unset";
    std::string passwords = "unset";
    {
        Pending later([&] {
            name = Outcome([&] { return cluster->getName(); });
            email->addEmailAddresses({});
            passwords = Outcome([&] { return session->getPasswordHandler(); });
        });
        ReturnSoon([&] { return later.Done(); }, "a call after the fault");
    }
    EXPECT_TRUE(IsLost(name)) << name;
    EXPECT_TRUE(IsLost(passwords)) << passwords;
    EXPECT_FALSE(connection->IsConnected());
    EXPECT_EQ(CountReports(capture, "ClusterSecurityServer.signData"), depth >= 2 ? 2 : 1);
    EXPECT_EQ(CountReports(capture, "ClusterSecurityServer.getName"), 1);
    EXPECT_EQ(CountReports(capture, "ServerSession.getPasswordHandler"), 1);

    // The reply handler is held by this side's stub alone now, and the stub goes with the connection.
    reply.reset();
    EXPECT_TRUE(WaitUntil([&] { return replyAlive.expired(); }, kSoon)) << "the reply handler's stub was kept";
    EXPECT_EQ(connection->Registry().StubCount(), 0u);
}

// The test is the service; the client's process is faulted.
void FaultMatrix::ClientFaults() {
    auto probe = std::make_shared<peer::ServiceProbe>(&gate_);
    auto service = std::make_shared<peer::ChainService>(probe);
    connector_ = peer::ServingConnector::Create();
    connector_->SetLimits(aai::GetConnectionLimits());
    connector_->Serve(service);
    child_.Start("client", dir_.Path(), {std::to_string(GetParam().depth)});

    ASSERT_TRUE(child_.Expect("parked", kSetUpBound));
    ASSERT_TRUE(ReachStop());
    ASSERT_EQ(connector_->Count().connected, 1);
    const std::weak_ptr<e2e::Session> sessionAlive = service->LastWeak();
    ASSERT_FALSE(sessionAlive.expired());
    auto handler = probe->Handler();
    ASSERT_NE(handler, nullptr);

    ASSERT_TRUE(InjectFault());
    // The park callback and the chain's outermost call (with whatever it nested) come back.
    ReturnSoon([&] { return probe->parkReturned && probe->chainReturned; }, "a call of the service");
    {
        Pending later([&] { handler->onGetEmailAddressesResult(aai::DOMAINOPERATIONRESULT_SUCCESS); });
        ReturnSoon([&] { return later.Done(); }, "a callback after the fault");
    }
    {
        std::lock_guard<std::mutex> lock(probe->mu);
        probe->handler.reset();
    }
    handler.reset();

    // Disconnected is told once, after the stubs went; the session they served is released, and
    // nothing keeps the connection.
    EXPECT_TRUE(WaitUntil([&] { return connector_->Count().disconnected == 1; }, kSoon))
        << "Disconnected did not run";
    EXPECT_TRUE(WaitUntil([&] { return sessionAlive.expired(); }, kSoon)) << "the session was kept";
    EXPECT_EQ(probe->liveSessions.load(), 0);
    EXPECT_TRUE(WaitUntil([&] { return connector_->Count().liveHandlers == 0; }, kSoon))
        << "the connection's handler was kept";
    const auto counts = connector_->Count();
    EXPECT_EQ(counts.disconnected, 1);
    EXPECT_EQ(counts.stubsAtDisconnect, 0u);
}

TEST_P(FaultMatrix, TheSurvivorGetsItsCallsBackDropsTheStubsAndGoesOn) {
    if (GetParam().faulty == Faulty::Service) {
        ServiceFaults();
    } else {
        ClientFaults();
    }
}

std::vector<Case> AllCases() {
    std::vector<Case> cases;
    for (Faulty faulty : {Faulty::Service, Faulty::Client})
        for (Fault fault : {Fault::Kill, Fault::Close, Fault::HalfClose, Fault::TruncatedThenStall,
                            Fault::TruncatedThenClose, Fault::Garbage})
            for (int depth = 0; depth <= 3; ++depth) cases.push_back({faulty, fault, depth});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Processes, FaultMatrix, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
