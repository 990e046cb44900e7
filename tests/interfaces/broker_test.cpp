// The broker bundle and the broker's factories, and an application's broker taking their place.
#include <gtest/gtest.h>

#include <sstream>

#include "aai/detail/codec.h"
#include "method_table.h"
#include "session_double.h"
#include "trace/trace.h"

namespace aai_test {
namespace {

TEST(Brokers, TheDefaultBundleHoldsEveryBroker) {
    auto brokers = aai::MakeInterfaceBrokers();
    ASSERT_NE(brokers, nullptr);
    EXPECT_NE(brokers->aaiBroker, nullptr);
    EXPECT_NE(brokers->datetimeBroker, nullptr);
    EXPECT_NE(aai::detail::UserloginBrokers(brokers), nullptr);
    EXPECT_EQ(aai::detail::DatetimeBrokers(brokers).get(), static_cast<zel::iface::datetime::InterfaceBrokers*>(brokers.get()));
    EXPECT_EQ(aai::detail::UserloginBrokers(nullptr), nullptr);
    EXPECT_EQ(aai::detail::DatetimeBrokers(nullptr), nullptr);
    // Two calls, two bundles.
    EXPECT_NE(aai::MakeInterfaceBrokers(), brokers);

    std::ostringstream address;
    address << static_cast<const void*>(brokers.get());
    EXPECT_EQ(aai::ToString(brokers), address.str());
}

TEST(Brokers, AStubGivesBackExactlyItsImplementationAndNothingElse) {
    auto brokers = aai::MakeInterfaceBrokers();
    auto handler = RecordingHandler::Make(true);
    auto session = std::make_shared<Session>();
    auto stub = brokers->aaiBroker->makeServerSessionStub(session.get(), 3, handler, brokers, session);
    ASSERT_NE(stub, nullptr);
    EXPECT_EQ(stub->GetId(), 3);
    EXPECT_EQ(stub->GetObject(), static_cast<aai::IServerSession*>(session.get()));
    EXPECT_EQ(brokers->aaiBroker->getServerSessionInstance(stub), session);
    EXPECT_EQ(brokers->aaiBroker->getSettingsInstance(stub), nullptr);
    EXPECT_EQ(brokers->aaiBroker->getServerSessionInstance(nullptr), nullptr);

    auto proxy = brokers->aaiBroker->makeServerSessionProxy(9, handler, brokers);
    ASSERT_NE(proxy, nullptr);
    EXPECT_EQ(proxy->GetId(), 9);
    EXPECT_NE(std::dynamic_pointer_cast<aai::IServerSession>(proxy), nullptr);
}

// An application's broker that sees every settings object arriving over its connection.
class WatchingBroker : public aai::InterfaceBroker {
public:
    std::shared_ptr<ipc2::IProxy> makeSettingsProxy(int id, std::shared_ptr<ipc2::ConnectionHandler> handler,
                                                    std::shared_ptr<aai::InterfaceBrokers> brokers) override {
        seen.push_back(id);
        return InterfaceBroker::makeSettingsProxy(id, std::move(handler), std::move(brokers));
    }
    std::vector<int> seen;
};

TEST(Brokers, AnApplicationsBrokerMakesTheProxiesOfItsConnection) {
    auto brokers = aai::MakeInterfaceBrokers();
    auto watching = std::make_unique<WatchingBroker>();
    auto* broker = watching.get();
    brokers->aaiBroker = std::move(watching);
    auto handler = RecordingHandler::Make(false);
    handler->reply = [](std::shared_ptr<ipc2::ByteStream>) { return StreamOf(Le32(17)); };

    auto root = MakeProxy<aai::IAAService>(0, handler, brokers);
    auto settings = root->getSettingsServer("client");

    EXPECT_EQ(broker->seen, std::vector<int>{17});
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(dynamic_cast<ipc2::IProxy&>(*settings).GetId(), 17);
    // Other interfaces still come from the library's factories.
    handler->reply = [](std::shared_ptr<ipc2::ByteStream>) { return StreamOf(Le32(18)); };
    EXPECT_NE(root->registerClient("client"), nullptr);
    EXPECT_EQ(broker->seen, std::vector<int>{17});
    handler->Close();
}

// The broker is looked up when a factory runs, not when it is made: a broker replaced in the
// bundle serves every object made afterwards.
TEST(Brokers, ABrokerReplacedInTheBundleServesFromThenOn) {
    auto brokers = aai::MakeInterfaceBrokers();
    auto handler = RecordingHandler::Make(false);
    handler->reply = [](std::shared_ptr<ipc2::ByteStream>) { return StreamOf(Le32(30)); };
    auto root = MakeProxy<aai::IAAService>(0, handler, brokers);
    auto watching = std::make_unique<WatchingBroker>();
    auto* broker = watching.get();
    brokers->aaiBroker = std::move(watching);
    EXPECT_NE(root->getSettingsServer("client"), nullptr);
    EXPECT_EQ(broker->seen, std::vector<int>{30});
    handler->Close();
}

}  // namespace
}  // namespace aai_test
