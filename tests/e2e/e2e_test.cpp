// A client and a service in one process, over each transport: everything a client does, from
// connecting to letting go, and what the service sees of it. Over the socket the client comes as a
// client of another process would, through the service's socket; what reaches the service after
// a call has returned (a release) is waited for.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <iterator>
#include <thread>

#include "aai/detail/connector.h"
#include "aai/detail/service.h"
#include "ipc2/connector.h"
#include "ipc2/errors.h"
#include "ipc2/registry.h"
#include "service.h"
#include "trace/trace.h"
#include "transports.h"
#include "wait.h"

namespace e2e {
namespace {

namespace ipc2 = zel::proglibs::ipc2;

// Connects to the service by a transport. In-process, through the library's entry point; over
// the socket, with the runtime's connect to the service's socket and the library's handshake, held
// to the limits the library's own connections are.
class Client : public ipc2::Connector {
public:
    static std::shared_ptr<Client> Create() { return std::shared_ptr<Client>(new Client); }

    std::shared_ptr<aai::IAAService> Connect(Transport transport,
                                             std::shared_ptr<aai::InterfaceBrokers> brokers = aai::MakeInterfaceBrokers()) {
        if (transport == Transport::InProcess) return aai::IAAService::ConnectUsingBrokers(std::move(brokers));
        SetLimits(aai::GetConnectionLimits());
        std::vector<std::string> modules(std::begin(aai::detail::kModules), std::end(aai::detail::kModules));
        const std::string name = aai::detail::kServerName;
        return aai::detail::Handshake(ConnectImpl(name, AddressFor(transport, name), modules), brokers);
    }

private:
    Client() = default;
};

// A broker that remembers the server's end of each connection (weakly: the connection owns it),
// so that a test can count the stubs the service holds for its client.
class ServerSideBroker : public aai::InterfaceBroker {
public:
    std::shared_ptr<ipc2::IStub> makeAAServiceStub(void* object, int id, std::shared_ptr<ipc2::ConnectionHandler> handler,
                                                   std::shared_ptr<aai::InterfaceBrokers> brokers,
                                                   std::shared_ptr<aai::IAAService> implementation) override {
        connection = handler;
        ++rootStubs;
        return InterfaceBroker::makeAAServiceStub(object, id, std::move(handler), std::move(brokers),
                                                  std::move(implementation));
    }
    std::size_t Stubs() const {
        auto handler = std::dynamic_pointer_cast<ipc2::RegistryConnectionHandler>(connection.lock());
        return handler ? handler->Registry().StubCount() : 0;
    }
    std::weak_ptr<ipc2::ConnectionHandler> connection;
    int rootStubs = 0;
};

class EndToEnd : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        auto brokers = aai::MakeInterfaceBrokers();
        auto owned = std::make_unique<ServerSideBroker>();
        serverBroker = owned.get();
        brokers->aaiBroker = std::move(owned);
        service->StartUsing(brokers);
        root = client->Connect(GetParam());
        ASSERT_NE(root, nullptr);
        session = root->registerClient("client-1");
        ASSERT_NE(session, nullptr);
        served = service->LastSession();
        ASSERT_NE(served, nullptr);
    }
    void TearDown() override {
        served.reset();
        session.reset();
        root.reset();
        Service::Stop();
    }

    static std::shared_ptr<ipc2::ConnectionHandler> ConnectionOf(const std::shared_ptr<aai::IServerSession>& proxy) {
        return dynamic_cast<aai::ServerSessionProxy&>(*proxy).GetConnectionHandler();
    }

    std::shared_ptr<Client> client = Client::Create();
    std::shared_ptr<Service> service = std::make_shared<Service>();
    ServerSideBroker* serverBroker = nullptr;
    std::shared_ptr<aai::IAAService> root;
    std::shared_ptr<aai::IServerSession> session;
    std::shared_ptr<Session> served;  // the service's object behind `session`
};

TEST_P(EndToEnd, AClientReachesEveryServerObjectThroughItsSession) {
    EXPECT_EQ(service->clients, std::vector<std::string>{"client-1"});
    EXPECT_NE(dynamic_cast<ipc2::IProxy*>(root.get()), nullptr);
    EXPECT_NE(dynamic_cast<ipc2::IProxy*>(session.get()), nullptr);

    auto passwords = session->getPasswordHandler();
    auto users = session->getUsersAndGroupsServer();
    auto cluster = session->getClusterSecurityServer();
    auto email = session->getEmailAddressServer();
    auto domains = session->getDomainConfigurator();
    auto hotfolders = session->getHotfolderServer();
    for (ipc2::IProxy* proxy : {dynamic_cast<ipc2::IProxy*>(passwords.get()), dynamic_cast<ipc2::IProxy*>(users.get()),
                                dynamic_cast<ipc2::IProxy*>(cluster.get()), dynamic_cast<ipc2::IProxy*>(email.get()),
                                dynamic_cast<ipc2::IProxy*>(domains.get()), dynamic_cast<ipc2::IProxy*>(hotfolders.get())})
        EXPECT_NE(proxy, nullptr);
    // The same server object asked for twice is one proxy.
    EXPECT_EQ(session->getUsersAndGroupsServer(), users);
    EXPECT_EQ(cluster->getName(), "cluster-a");

    EXPECT_FALSE(served->closed);
    session->closeSession();
    EXPECT_TRUE(served->closed);
}

TEST_P(EndToEnd, ArgumentsReachTheServiceAndResultsComeBack) {
    auto passwords = session->getPasswordHandler();
    EXPECT_EQ(passwords->encrypt("s3cret", aai::ENCRYPTIONTYPE_TWO_WAY), "enc:s3cret:1");
    EXPECT_EQ(served->passwords->seen, (std::vector<std::string>{"s3cret", "1"}));
    EXPECT_TRUE(passwords->validatePassword("a", "a"));
    EXPECT_FALSE(passwords->validatePassword("a", "b"));

    auto cluster = session->getClusterSecurityServer();
    EXPECT_EQ(cluster->decryptData(std::string("da\0ta", 5), "key"),
              aai::DecryptResult(aai::CLUSTERRESULT_INVALID_PARAMETERS, std::string("da\0ta|key", 9)));
    EXPECT_EQ(served->cluster->seen, (std::vector<std::string>{std::string("da\0ta", 5), "key"}));

    auto email = session->getEmailAddressServer();
    EXPECT_EQ(email->importEmailAddresses("/srv/book.csv"), aai::RESULT_READ_ERROR);
    EXPECT_EQ(served->email->importedFrom, "/srv/book.csv");
    const aai::EmailRecipientList recipients = {aai::EmailRecipient(std::nullopt, "a@corp", "A"),
                                                aai::EmailRecipient(std::string("u2"), "b@corp", "B")};
    email->addEmailAddresses(recipients);
    EXPECT_EQ(served->email->added, recipients);

    auto users = session->getUsersAndGroupsServer();
    const userlogin::UserLoginId login("alice", 42);
    const userlogin::PrivilegeList privileges{3, 1, 4};
    served->users->result = aai::AuthenticateUserNotAtMachineResult(
        true, std::nullopt, 7,
        userlogin::LoggedInUser(login, userlogin::USERNAME_OPERATOR, "Alice", privileges),
        aai::UserMessageList{aai::USERMESSAGE_OLD_PASSWORD});
    EXPECT_EQ(users->authenticateUserNotAtMachineSync(login, "pw", "123456", privileges), served->users->result);
    EXPECT_EQ(served->users->syncLogin, login);
    EXPECT_EQ(served->users->syncPassword, "pw");
    EXPECT_EQ(served->users->syncOtp, "123456");
    EXPECT_EQ(served->users->syncPrivileges, privileges);
    EXPECT_EQ(users->checkPasswordComplexity("x"),
              (aai::PasswordComplexityErrors{aai::PASSWORDCOMPLEXITYERROR_TOO_SHORT,
                                             aai::PASSWORDCOMPLEXITYERROR_MISSING_MIXED_CASE}));
    EXPECT_EQ(users->validateNetworkUsername("root"), aai::VALIDATENETWORKUSERNAMERESULT_FAILED_RESERVED_ACCOUNT);
    EXPECT_TRUE(users->isUserAllowedToAccessJob(served->users->result.getInfo(), "Alice"));

    auto settings = root->getSettingsServer("settings-client");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->getSetting(aai::SettingKeys{"a", "b"}),
              (aai::SettingItems{aai::SettingItem("a", "value of a"), aai::SettingItem("b", "value of b")}));
    settings->setSetting({});
    EXPECT_TRUE(service->settings->stored.empty());
    settings->setSetting({aai::SettingItem("k", "v")});
    EXPECT_EQ(service->settings->stored, aai::SettingItems{aai::SettingItem("k", "v")});
}

TEST_P(EndToEnd, ReplyHandlersAreCalledBackDuringTheCallAndAfterIt) {
    auto users = session->getUsersAndGroupsServer();
    auto reply = std::make_shared<EditUserReply>();
    aai::LocalUser user;
    user.setName(userlogin::USERNAME_CUSTOM);
    user.setCustomName("bob");
    user.setFullName("Bob");

    users->addUser(user, reply);
    ASSERT_EQ(served->users->added.size(), 1u);
    EXPECT_EQ(served->users->added[0], user);
    EXPECT_EQ(reply->results, std::vector<aai::EditUserResult>{aai::EDITUSERRESULT_SUCCESS});

    served->users->FinishPending(aai::EDITUSERRESULT_USER_ALREADY_EXISTS);
    EXPECT_EQ(reply->results,
              (std::vector<aai::EditUserResult>{aai::EDITUSERRESULT_SUCCESS, aai::EDITUSERRESULT_USER_ALREADY_EXISTS}));

    // The service has let its proxy go: the client's object is held by the client alone.
    std::weak_ptr<EditUserReply> watch = reply;
    reply.reset();
    EXPECT_TRUE(WaitUntil([&] { return watch.expired(); }));

    auto domains = session->getDomainConfigurator();
    auto controllers = std::make_shared<ControllersReply>();
    domains->getDomainControllers("corp", controllers);
    EXPECT_EQ(controllers->controllers, (aai::DomainControllerList{aai::DomainController("dc1.corp", 389),
                                                                   aai::DomainController("dc2.corp", 636)}));

    auto email = session->getEmailAddressServer();
    auto found = std::make_shared<EmailReply>();
    email->getEmailAddresses("carol", true, found);
    EXPECT_EQ(found->recipients, aai::EmailRecipientList{aai::EmailRecipient(std::nullopt, "carol@corp", "Someone")});
    EXPECT_EQ(found->results, std::vector<aai::DomainOperationResult>{aai::DOMAINOPERATIONRESULT_SUCCESS});
}

TEST_P(EndToEnd, ANotificationSinkIsOneRemoteObjectFromRegistrationToUnregistration) {
    auto users = session->getUsersAndGroupsServer();
    auto sink = std::make_shared<UsersSink>();
    users->registerNotifications(sink);
    ASSERT_EQ(served->users->sinks.size(), 1u);

    users->setFlag1(true);
    users->setFlag1(false);
    EXPECT_EQ(sink->flag1, (std::vector<bool>{true, false}));

    users->unregisterNotifications(sink);
    EXPECT_TRUE(served->users->unregisteredKnownSink);
    EXPECT_TRUE(served->users->sinks.empty());
    users->setFlag1(true);
    EXPECT_EQ(sink->flag1.size(), 2u);

    // Registered and unregistered, its references are balanced: only the client holds it now.
    std::weak_ptr<UsersSink> watch = sink;
    sink.reset();
    EXPECT_TRUE(WaitUntil([&] { return watch.expired(); }));

    auto hotfolders = session->getHotfolderServer();
    auto folders = std::make_shared<HotfolderSink>();
    auto reply = std::make_shared<HotfolderReply>();
    hotfolders->registerNotifications(folders);
    hotfolders->addHotfolder("scans", "ocr", false, 5, reply);
    EXPECT_EQ(reply->results, std::vector<aai::HotfolderResult>{aai::HOTFOLDERRESULT_OK});
    ASSERT_EQ(folders->added.size(), 1u);
    EXPECT_EQ(folders->added[0].first, 1);
    EXPECT_EQ(folders->added[0].second, served->hotfolders->folders.at(0));
    EXPECT_FALSE(folders->added[0].second.hasRestrictToGroupId());
    hotfolders->unregisterNotifications(folders);
    EXPECT_TRUE(served->hotfolders->sinks.empty());
}

TEST_P(EndToEnd, AProxySentBackToItsHomeArrivesAsTheOriginalObject) {
    auto users = session->getUsersAndGroupsServer();
    auto sink = std::make_shared<UsersSink>();
    users->registerNotifications(sink);
    ASSERT_EQ(served->users->sinks.size(), 1u);
    const auto& held = served->users->sinks[0];
    auto serverEnd = dynamic_cast<aai::UsersAndGroupsNotificationsProxy&>(*held).GetConnectionHandler();
    auto clientEnd = ConnectionOf(session);
    const auto brokers = aai::MakeInterfaceBrokers();

    // The service's proxy of the client's sink, sent to the client: the client's own sink.
    auto toClient = std::make_shared<ipc2::ByteStream>();
    aai::UsersAndGroupsNotificationsMarshaller::Encode(toClient, held, serverEnd, brokers);
    EXPECT_EQ(aai::UsersAndGroupsNotificationsMarshaller::Decode(toClient, clientEnd, brokers), sink);

    // The client's proxy of a server object, sent to the service: the service's own object.
    auto toService = std::make_shared<ipc2::ByteStream>();
    aai::UsersAndGroupsServerMarshaller::Encode(toService, users, clientEnd, brokers);
    EXPECT_EQ(aai::UsersAndGroupsServerMarshaller::Decode(toService, serverEnd, brokers), served->users);
    aai::ServerSessionMarshaller::Encode(toService, session, clientEnd, brokers);
    EXPECT_EQ(aai::ServerSessionMarshaller::Decode(toService, serverEnd, brokers), served);

    users->unregisterNotifications(sink);
}

TEST_P(EndToEnd, ObjectsAreReleasedWhenTheClientLetsGo) {
    EXPECT_EQ(serverBroker->rootStubs, 1);
    const std::size_t rootOnly = 1;
    const std::size_t withSession = serverBroker->Stubs();
    EXPECT_EQ(withSession, rootOnly + 1);

    {
        auto users = session->getUsersAndGroupsServer();
        auto again = session->getUsersAndGroupsServer();
        auto cluster = session->getClusterSecurityServer();
        EXPECT_EQ(serverBroker->Stubs(), withSession + 2);
        auto reply = std::make_shared<EditUserReply>();
        users->addUser(aai::LocalUser(), reply);
        served->users->FinishPending(aai::EDITUSERRESULT_USER_NOT_FOUND);
    }
    // Two references to one object and one to another, each released with its whole count.
    EXPECT_TRUE(WaitUntil([&] { return serverBroker->Stubs() == withSession; }));

    std::weak_ptr<Session> servedSession = served;
    std::weak_ptr<UsersAndGroups> servedUsers = served->users;
    served.reset();
    EXPECT_FALSE(servedSession.expired());  // the client still holds its proxy
    session.reset();
    EXPECT_TRUE(WaitUntil([&] { return serverBroker->Stubs() == rootOnly; }));
    // A dropped stub lets go of its implementation just after it leaves the registry.
    EXPECT_TRUE(WaitUntil([&] { return servedSession.expired() && servedUsers.expired(); }));

    // The last proxy gone, the connection closes and the service keeps nothing for the client.
    root.reset();
    EXPECT_TRUE(WaitUntil([&] { return serverBroker->connection.expired(); }));
    EXPECT_EQ(serverBroker->Stubs(), 0u);
}

// A result the library cannot know is never made up: on a lost connection a call with a result
// throws the report; a void call, with or without a reply handler, returns.
TEST_P(EndToEnd, ResultsOfALostConnectionAreThrownNeverMadeUp) {
    auto users = session->getUsersAndGroupsServer();
    auto cluster = session->getClusterSecurityServer();
    ConnectionOf(session)->Close();
    trace::Capture capture;
    EXPECT_THROW(users->checkPasswordComplexity("short"), trace::FatalError);
    EXPECT_THROW(users->validateNetworkUsername("admin"), trace::FatalError);
    EXPECT_THROW(cluster->getName(), trace::FatalError);
    EXPECT_NO_THROW(users->setFlag1(true));
    EXPECT_NO_THROW(users->addUser(aai::LocalUser(), std::make_shared<EditUserReply>()));
    EXPECT_EQ(capture.FatalReports().size(), 3u);
}

// An argument that cannot be decoded fails its request before any implementation is called with
// it, and the caller hears why; the connection goes on.
TEST_P(EndToEnd, AnArgumentThatCannotBeDecodedFailsItsRequest) {
    auto users = session->getUsersAndGroupsServer();
    auto connection = ConnectionOf(session);
    constexpr int kAddUser = 44;  // IUsersAndGroupsServer.addUser's method id
    auto request = std::make_shared<ipc2::ByteStream>();
    ipc2::RequestHeader{dynamic_cast<ipc2::IProxy&>(*users).GetId(), connection->GetModuleId("aai"), kAddUser}
        .WriteTo(*request);
    aai::LocalUserMarshaller::Encode(request, aai::LocalUser(), connection, aai::MakeInterfaceBrokers());
    ipc2::WriteLe32(*request, -1);  // a reply handler that names no object
    try {
        connection->Send(request, true);
        ADD_FAILURE() << "the request was answered";
    } catch (const ipc2::RemoteError& e) {
        EXPECT_NE(std::string(e.what()).find("Failed to decode EditUserReplyHandler"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(served->users->added.empty());
    EXPECT_EQ(users->validateNetworkUsername("root"), aai::VALIDATENETWORKUSERNAMERESULT_FAILED_RESERVED_ACCOUNT);
}

// A proxy's calls share nothing that changes: several threads may call through one at once.
TEST_P(EndToEnd, OneProxyServesCallsFromSeveralThreads) {
    auto cluster = session->getClusterSecurityServer();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::string data = std::to_string(t) + ":" + std::to_string(i);
                if (cluster->signData(data) != "signed:" + data) ++wrong;
                if (!cluster->isSignatureValid(data, "signed:" + data)) ++wrong;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_P(EndToEnd, EachConnectionHasItsOwnRootStub) {
    auto second = client->Connect(GetParam());
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, root);
    EXPECT_EQ(serverBroker->rootStubs, 2);
    auto other = second->registerClient("client-2");
    EXPECT_EQ(service->clients, (std::vector<std::string>{"client-1", "client-2"}));
    EXPECT_NE(service->LastSession(), served);
}

// An application's broker on the client side makes the proxies of its connection.
class SettingsWatcher : public aai::InterfaceBroker {
public:
    std::shared_ptr<ipc2::IProxy> makeSettingsProxy(int id, std::shared_ptr<ipc2::ConnectionHandler> handler,
                                                    std::shared_ptr<aai::InterfaceBrokers> brokers) override {
        ++made;
        return InterfaceBroker::makeSettingsProxy(id, std::move(handler), std::move(brokers));
    }
    int made = 0;
};

TEST_P(EndToEnd, AClientsBrokerMakesTheProxiesOfItsConnection) {
    auto brokers = aai::MakeInterfaceBrokers();
    auto watcher = std::make_unique<SettingsWatcher>();
    auto* watching = watcher.get();
    brokers->aaiBroker = std::move(watcher);
    auto watched = client->Connect(GetParam(), brokers);
    ASSERT_NE(watched, nullptr);
    auto settings = watched->getSettingsServer("watched");
    EXPECT_EQ(watching->made, 1);
    EXPECT_EQ(settings->getSetting(aai::SettingKeys{"x"}), aai::SettingItems{aai::SettingItem("x", "value of x")});
    // The default connection is untouched by it.
    root->getSettingsServer("plain");
    EXPECT_EQ(watching->made, 1);
}

TEST(EndToEndEntryPoints, TheEntryPointsWriteTheirTraceLines) {
    auto service = std::make_shared<Service>();
    service->Start();
    trace::Capture capture;
    {
        trace::ScopedLevel quiet(1);
        aai::IAAService::Connect();
    }
    EXPECT_TRUE(capture.Records().empty());
    {
        trace::ScopedLevel level(2);
        aai::IAAService::Connect();
        aai::IAAService::ConnectUsingBrokers(aai::MakeInterfaceBrokers());
        Service::Stop();
    }
    std::vector<std::string> functions;
    for (const auto& record : capture.Records()) {
        if (record.component != "AAI") continue;
        EXPECT_FALSE(record.fatal);
        EXPECT_EQ(record.file, "aaiconnector.cpp");
        EXPECT_EQ(record.text, "");
        functions.push_back(record.function);
    }
    EXPECT_EQ(functions, (std::vector<std::string>{"zel::iface::aai::IAAService::Connect",
                                                   "zel::iface::aai::IAAService::ConnectUsingBrokers",
                                                   "zel::iface::aai::IAAService::UnregisterServer"}));
}

// Tests that set up a service of their own, on each transport.
class EndToEndAlone : public ::testing::TestWithParam<Transport> {
protected:
    std::shared_ptr<Client> client = Client::Create();
};

TEST_P(EndToEndAlone, ConnectionsMadeAfterSettingLimitsAreHeldToThem) {
    const ipc2::Limits defaults = aai::GetConnectionLimits();
    ipc2::Limits small = defaults;
    small.maxFrameSize = 64;
    aai::SetConnectionLimits(small);
    auto service = std::make_shared<Service>();
    service->Start();
    auto root = client->Connect(GetParam());
    ASSERT_NE(root, nullptr);
    auto session = root->registerClient("limited");
    ASSERT_NE(session, nullptr);
    auto users = session->getUsersAndGroupsServer();
    ASSERT_NE(users, nullptr);
    // A description of 100 bytes makes the request larger than 64: it is refused before it is sent.
    aai::LocalUser user;
    user.setDescription(std::string(100, 'd'));
    EXPECT_THROW(users->addUser(user, std::make_shared<EditUserReply>()), ipc2::LimitError);
    EXPECT_EQ(aai::GetConnectionLimits().maxFrameSize, 64u);
    aai::SetConnectionLimits(defaults);
    users.reset();
    session.reset();
    root.reset();
    Service::Stop();
}

// Where the tests' environment puts the service's socket ("%p": this process).
std::string ServiceSocketPath() {
    const char* dir = std::getenv("ZEL_IPC_DIR");
    if (dir == nullptr) return {};
    std::string path = dir;
    const auto at = path.find("%p");
    if (at != std::string::npos) path.replace(at, 2, std::to_string(::getpid()));
    return path + "/AAI.sock";
}

TEST(EndToEndSocket, OwnerOnlyUnlessTheServiceOpensItsSocketToAGroup) {
    const std::string path = ServiceSocketPath();
    if (path.empty()) GTEST_SKIP() << "ZEL_IPC_DIR is not set";
    struct Case {
        bool open;
        mode_t mode;
    };
    for (const Case c : {Case{false, 0600}, Case{true, 0660}, Case{false, 0600}}) {
        if (c.open) aai::SetServiceSocketAccess(0660, ::getgid());
        auto service = std::make_shared<Service>();
        service->Start();
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, c.mode);
        EXPECT_EQ(st.st_gid, ::getgid());
        Service::Stop();
        aai::SetServiceSocketAccess(0600);
    }
}

// Remembers who called registerClient, as a service deciding on access would ask.
class CallerWatchingService : public aai::IAAService, public std::enable_shared_from_this<CallerWatchingService> {
public:
    std::shared_ptr<aai::IServerSession> registerClient(const std::string&) override {
        if (auto connection = ipc2::CurrentConnection()) caller = connection->GetPeerCredentials();
        return std::make_shared<Session>();
    }
    std::shared_ptr<aai::ISettings> getSettingsServer(const std::string&) override { return nullptr; }
    void Start() { RegisterServer(shared_from_this()); }
    static void Stop() { UnregisterServer(); }
    ipc2::PeerCredentials caller;
};

TEST_P(EndToEndAlone, TheImplementationCanAskWhoCalls) {
    EXPECT_EQ(ipc2::CurrentConnection(), nullptr);  // outside any request
    auto service = std::make_shared<CallerWatchingService>();
    service->Start();
    auto root = client->Connect(GetParam());
    ASSERT_NE(root, nullptr);
    root->registerClient("who");
    EXPECT_EQ(service->caller.pid, ::getpid());
    EXPECT_EQ(service->caller.uid, ::getuid());
    EXPECT_EQ(service->caller.gid, ::getgid());
    root.reset();
    CallerWatchingService::Stop();
}

TEST(EndToEndWithoutService, ConnectingToNoServiceFailsWithTheRuntimesError) {
    Service::Stop();  // also fine when nothing is registered
    EXPECT_THROW(aai::IAAService::Connect(), ipc2::ConnectError);
}

TEST(EndToEndWithoutService, ABundleWithoutBrokerIsRefused) {
    auto service = std::make_shared<Service>();
    auto withoutBroker = aai::MakeInterfaceBrokers();
    withoutBroker->aaiBroker.reset();
    trace::Capture capture;
    EXPECT_THROW(service->StartUsing(withoutBroker), trace::FatalError);
    EXPECT_THROW(service->StartUsing(nullptr), trace::FatalError);
    EXPECT_THROW(aai::IAAService::Connect(), ipc2::ConnectError);  // nothing was registered

    service->Start();
    EXPECT_THROW(aai::IAAService::ConnectUsingBrokers(withoutBroker), trace::FatalError);
    {
        const trace::ScopedFatalPolicy returning(trace::FatalPolicy::Return);
        EXPECT_EQ(aai::IAAService::ConnectUsingBrokers(nullptr), nullptr);
    }
    EXPECT_TRUE(service->clients.empty());
    Service::Stop();

    const auto reports = capture.FatalReports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0].function, "zel::iface::aai::IAAService::RegisterServerUsingBrokers");
    EXPECT_EQ(reports[3].function, "zel::iface::aai::IAAService::ConnectUsingBrokers");
    EXPECT_EQ(reports[3].text, "The broker bundle has no broker of this library");
}

// Registers no implementation at all, as a service's own mistake would.
struct EmptyRegistration : aai::IAAService {
    static void Register() { RegisterServer(nullptr); }
};

TEST_P(EndToEndAlone, NoImplementationRefusesClientsRatherThanFailingTheirCalls) {
    EmptyRegistration::Register();
    try {
        client->Connect(GetParam());
        ADD_FAILURE() << "a client was let in to no implementation";
    } catch (const ipc2::ConnectError& e) {
        EXPECT_NE(std::string(e.what()).find("made no stub"), std::string::npos) << e.what();
    }
    Service::Stop();
}

TEST_P(EndToEndAlone, TheServiceServesTheImplementationRegisteredLast) {
    auto first = std::make_shared<Service>();
    auto second = std::make_shared<Service>();
    first->Start();
    second->Start();
    auto root = client->Connect(GetParam());
    root->registerClient("who");
    EXPECT_TRUE(first->clients.empty());
    EXPECT_EQ(second->clients, std::vector<std::string>{"who"});
    root.reset();
    Service::Stop();
    // Unregistered, the service lets its root implementation go (over a socket, once the
    // connection's end has reached it).
    std::weak_ptr<Service> watch = second;
    second.reset();
    EXPECT_TRUE(WaitUntil([&] { return watch.expired(); }));
}

INSTANTIATE_TEST_SUITE_P(Transports, EndToEnd, kBothTransports, TransportName);
INSTANTIATE_TEST_SUITE_P(Transports, EndToEndAlone, kBothTransports, TransportName);

}  // namespace
}  // namespace e2e
