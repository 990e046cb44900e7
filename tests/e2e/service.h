// A service for the end-to-end tests: every server object of the interface, each keeping what
// it was called with, and client objects (reply handlers, notification sinks) that keep what
// they were told. Calls back to the client happen during the call that carries the handler, and
// again later when the test asks for it.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "aai/aai.h"

namespace e2e {

namespace aai = zel::iface::aai;
namespace userlogin = zel::iface::userlogin;

// ---------------------------------------------------------------------------------------------
// Server side

struct PasswordHandler : aai::IPasswordHandler {
    std::string encrypt(const std::string& password, aai::EncryptionType type) override {
        seen = {password, std::to_string(type)};
        return "enc:" + password + ":" + std::to_string(type);
    }
    std::string decrypt(const std::string& encrypted) override { return encrypted; }
    bool validatePassword(const std::string& password, const std::string& stored) override { return password == stored; }
    aai::EncryptionType getEncryptionType(const std::string&) override { return aai::ENCRYPTIONTYPE_TWO_WAY; }
    std::vector<std::string> seen;
};

struct ClusterSecurity : aai::IClusterSecurityServer {
    std::string getName() override { return "cluster-a"; }
    aai::KeyMaterial getKeyMaterial() override { return aai::KeyMaterial("public", "nonce"); }
    aai::ClusterInfoResult exportClusterInfoForKeyExchange(const aai::KeyMaterial&) override { return {}; }
    aai::ClusterResult importClusterInfoFromKeyExchange(const aai::ClusterInfo&, const std::string&) override {
        return aai::CLUSTERRESULT_SUCCESS;
    }
    aai::ClusterInfo generateNewClusterInfo() override { return {}; }
    aai::ClusterResult importClusterInfo(const aai::ClusterInfo&) override { return aai::CLUSTERRESULT_SUCCESS; }
    std::string signData(const std::string& data) override { return "signed:" + data; }
    bool isSignatureValid(const std::string& data, const std::string& signature) override {
        return signature == "signed:" + data;
    }
    std::string encryptData(const std::string& data, const std::string&, bool) override { return data; }
    aai::DecryptResult decryptData(const std::string& data, const std::string& key) override {
        seen = {data, key};
        return aai::DecryptResult(aai::CLUSTERRESULT_INVALID_PARAMETERS, data + "|" + key);
    }
    std::vector<std::string> seen;
};

struct EmailAddresses : aai::IEmailAddressServer {
    void addEmailAddresses(const aai::EmailRecipientList& recipients) override { added = recipients; }
    void removeEmailAddresses(const aai::EmailRecipientList&) override {}
    aai::Result importEmailAddresses(const std::string& path) override {
        importedFrom = path;
        return aai::RESULT_READ_ERROR;
    }
    aai::Result exportEmailAddresses(const std::string&) override { return aai::RESULT_NO_ERROR; }
    void getEmailAddresses(const std::string& searchText, bool,
                           std::shared_ptr<aai::IGetEmailAddressesReplyHandler> handler) override {
        handler->onEmailAddresses({aai::EmailRecipient(std::nullopt, searchText + "@corp", "Someone")});
        handler->onGetEmailAddressesResult(aai::DOMAINOPERATIONRESULT_SUCCESS);
    }
    aai::EmailRecipientList added;
    std::string importedFrom;
};

struct UsersAndGroups : aai::IUsersAndGroupsServer {
    void registerNotifications(std::shared_ptr<aai::IUsersAndGroupsNotifications> sink) override {
        sinks.push_back(sink);
    }
    // The sink arrives as the proxy registered before, so it is found by identity.
    void unregisterNotifications(std::shared_ptr<aai::IUsersAndGroupsNotifications> sink) override {
        const auto before = sinks.size();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
        unregisteredKnownSink = sinks.size() < before;
    }
    void addUser(const aai::LocalUser& user, std::shared_ptr<aai::IEditUserReplyHandler> handler) override {
        added.push_back(user);
        handler->onEditUserResult(aai::EDITUSERRESULT_SUCCESS);
        pending.push_back(handler);
    }
    void deleteUsers(const aai::IdList&, std::shared_ptr<aai::IReplyHandler> handler) override { handler->onDone(); }
    void editUser(const aai::LocalUser&, std::shared_ptr<aai::IEditUserReplyHandler>) override {}
    void addGroupMembership(int, const aai::IdList&, std::shared_ptr<aai::IEditGroupMembershipReplyHandler>) override {}
    void removeGroupMembership(int, const aai::IdList&, std::shared_ptr<aai::IEditGroupMembershipReplyHandler>) override {}
    void addGroup(const aai::Group&, std::shared_ptr<aai::IEditGroupReplyHandler>) override {}
    void deleteGroups(const aai::IdList&, std::shared_ptr<aai::IReplyHandler>) override {}
    void editGroup(const aai::Group&, std::shared_ptr<aai::IEditGroupReplyHandler>) override {}
    void authenticateUser(const userlogin::UserLoginId&, const std::string&, const userlogin::PrivilegeList&,
                          std::shared_ptr<aai::IAuthenticationReplyHandler>) override {}
    void requestExternalUser(const userlogin::LoggedInUser&, std::shared_ptr<aai::IExternalUserReplyHandler>) override {}
    void requestById(int, std::shared_ptr<aai::IReplyHandler>) override {}
    void signalById(int) override {}
    std::string createNonce(const userlogin::UserLoginId& loginId) override { return "nonce-" + loginId.LoginName(); }
    void authenticateUserNotAtMachine(const userlogin::UserLoginId&, const std::string&, const std::string&,
                                      const userlogin::PrivilegeList&,
                                      std::shared_ptr<aai::IAuthenticationReplyHandler>) override {}
    aai::AuthenticateUserNotAtMachineResult authenticateUserNotAtMachineSync(
        const userlogin::UserLoginId& loginId, const std::string& password, const std::string& otp,
        const userlogin::PrivilegeList& privileges) override {
        syncLogin = loginId;
        syncPassword = password;
        syncOtp = otp;
        syncPrivileges = privileges;
        return result;
    }
    bool isAnyUserAllowedToAccessJob() override { return true; }
    bool isUserAllowedToAccessJob(const userlogin::LoggedInUser& user, const std::string& jobOwner) override {
        return user.DisplayName() == jobOwner;
    }
    void changePassword(const userlogin::UserLoginId&, const std::string&, const std::string&,
                        std::shared_ptr<aai::IChangePasswordReplyHandler>) override {}
    std::string getPasswordResetToken(const userlogin::UserLoginId&) override { return "token"; }
    bool isPasswordResetTokenValid(const userlogin::UserLoginId&, const std::string& token) override {
        return token == "token";
    }
    void resetPassword(const userlogin::UserLoginId&, const std::string&,
                       std::shared_ptr<aai::IChangePasswordReplyHandler>) override {}
    aai::PasswordComplexityErrors checkPasswordComplexity(const std::string&) override {
        return {aai::PASSWORDCOMPLEXITYERROR_TOO_SHORT, aai::PASSWORDCOMPLEXITYERROR_MISSING_MIXED_CASE};
    }
    std::string getUserPrincipalName(const aai::LocalUser& user) override { return user.getFullName() + "@corp"; }
    aai::ValidateNetworkUsernameResult validateNetworkUsername(const std::string&) override {
        return aai::VALIDATENETWORKUSERNAMERESULT_FAILED_RESERVED_ACCOUNT;
    }
    void setAuthenticationMode(aai::AuthenticationMode) override {}
    void setFlag1(bool enabled) override {
        for (auto& sink : sinks) sink->flag1Changed(enabled);
    }
    void setValue1(int) override {}
    void setFlag2(bool) override {}
    void setValue2(int) override {}
    void setFlag3(bool) override {}
    void setFlag4(bool) override {}
    void setValue3(int) override {}
    void setFlag5(bool) override {}
    void setValue4(int) override {}
    void setValue5(int) override {}
    void setValue6(int) override {}
    void setFlagAndValue(bool, int) override {}
    void setFlag6(bool) override {}
    void testSmartCard(const std::string&, const std::string&, const std::string&, bool, bool, int,
                       const std::string&, std::shared_ptr<aai::ITestSmartCardReplyHandler>) override {}
    void setFlag7(bool) override {}
    void testNfcCard(const std::string&, std::shared_ptr<aai::ITestNfcCardReplyHandler>) override {}
    void testNfcCardPinCode(const userlogin::UserLoginId&, const std::string&,
                            std::shared_ptr<aai::ITestNfcCardPinCodeReplyHandler>) override {}

    // The outcome of the operations still pending, told now; then the handlers are let go.
    void FinishPending(aai::EditUserResult outcome) {
        for (auto& handler : pending) handler->onEditUserResult(outcome);
        pending.clear();
    }

    std::vector<std::shared_ptr<aai::IUsersAndGroupsNotifications>> sinks;
    bool unregisteredKnownSink = false;
    std::vector<aai::LocalUser> added;
    std::vector<std::shared_ptr<aai::IEditUserReplyHandler>> pending;
    userlogin::UserLoginId syncLogin;
    std::string syncPassword, syncOtp;
    userlogin::PrivilegeList syncPrivileges;
    aai::AuthenticateUserNotAtMachineResult result;
};

struct DomainConfigurator : aai::IDomainConfigurator {
    void registerNotifications(const std::string&, std::shared_ptr<aai::IDomainNotifications>) override {}
    void unregisterNotifications(std::shared_ptr<aai::IDomainNotifications>) override {}
    void getDomainControllers(const std::string& domainName,
                              std::shared_ptr<aai::IGetDomainControllersReplyHandler> handler) override {
        handler->onDomainControllers({aai::DomainController("dc1." + domainName, 389),
                                      aai::DomainController("dc2." + domainName, 636)});
    }
    void addDomain(const aai::Domain&, std::shared_ptr<aai::IEditDomainReplyHandler>) override {}
    void editDomain(int, const aai::Domain&, std::shared_ptr<aai::IEditDomainReplyHandler>) override {}
    void deleteDomains(const aai::IntegerList&, std::shared_ptr<aai::IReplyHandler>) override {}
    void testDomain(const std::string&, const std::string&, const std::string&, const aai::Domain&,
                    std::shared_ptr<aai::ITestDomainReplyHandler>) override {}
    void authenticateDomainUser(const std::string&, const std::string&, const std::string&,
                                std::shared_ptr<aai::IAuthenticateUserReplyHandler>) override {}
    void getEmailAddresses(const std::string&, std::shared_ptr<aai::IGetEmailAddressesReplyHandler>) override {}
    void getEmailAddressesWithLogin(const std::string&, const std::string&, const std::string&,
                                    std::shared_ptr<aai::IGetEmailAddressesReplyHandler>) override {}
    void getDomainGroups(const std::string&, const std::string&, const std::string&,
                         std::shared_ptr<aai::IGetDomainGroupsReplyHandler>) override {}
};

struct Hotfolders : aai::IHotfolderServer {
    void registerNotifications(std::shared_ptr<aai::IHotfolderNotifications> sink) override { sinks.push_back(sink); }
    void unregisterNotifications(std::shared_ptr<aai::IHotfolderNotifications> sink) override {
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
    }
    void addHotfolder(const std::string& name, const std::string& workflowName, bool restricted, int groupId,
                      std::shared_ptr<aai::IHotfolderReplyHandler> handler) override {
        const aai::Hotfolder folder(name, workflowName, restricted ? std::optional<int>(groupId) : std::nullopt,
                                    "smb://" + name, "dav://" + name, "/data/" + name);
        folders.push_back(folder);
        handler->onHotfolderResult(aai::HOTFOLDERRESULT_OK);
        for (auto& sink : sinks) sink->hotfolderAdded(static_cast<int>(folders.size()), folder);
    }
    void editHotfolder(int, const std::string&, const std::string&, bool, int,
                       std::shared_ptr<aai::IHotfolderReplyHandler>) override {}
    void deleteHotfolders(const aai::IntegerList&, std::shared_ptr<aai::IHotfolderReplyHandler>) override {}
    void setHotfolderSwitches(bool, bool, std::shared_ptr<aai::IHotfolderReplyHandler>) override {}

    std::vector<std::shared_ptr<aai::IHotfolderNotifications>> sinks;
    std::vector<aai::Hotfolder> folders;
};

struct Settings : aai::ISettings {
    aai::SettingItems getSetting(const aai::SettingKeys& keys) override {
        aai::SettingItems items;
        for (const auto& key : keys) items.emplace_back(key, "value of " + key);
        return items;
    }
    void setSetting(const aai::SettingItems& items) override { stored = items; }
    aai::PossibleValues getPossibleValues(const std::string& key) override {
        aai::SettingValues values;
        values.push_back(key + "-1");
        return aai::PossibleValues(aai::SettingKeys{key}, aai::SettingValuesList{values});
    }
    aai::SettingItems stored;
};

// One session per registered client, with its own server objects.
struct Session : aai::IServerSession {
    void closeSession() override { closed = true; }
    std::shared_ptr<aai::IPasswordHandler> getPasswordHandler() override { return passwords; }
    std::shared_ptr<aai::IUsersAndGroupsServer> getUsersAndGroupsServer() override { return users; }
    std::shared_ptr<aai::IClusterSecurityServer> getClusterSecurityServer() override { return cluster; }
    std::shared_ptr<aai::IEmailAddressServer> getEmailAddressServer() override { return email; }
    std::shared_ptr<aai::IDomainConfigurator> getDomainConfigurator() override { return domains; }
    std::shared_ptr<aai::IHotfolderServer> getHotfolderServer() override { return hotfolders; }

    bool closed = false;
    std::shared_ptr<PasswordHandler> passwords = std::make_shared<PasswordHandler>();
    std::shared_ptr<UsersAndGroups> users = std::make_shared<UsersAndGroups>();
    std::shared_ptr<ClusterSecurity> cluster = std::make_shared<ClusterSecurity>();
    std::shared_ptr<EmailAddresses> email = std::make_shared<EmailAddresses>();
    std::shared_ptr<DomainConfigurator> domains = std::make_shared<DomainConfigurator>();
    std::shared_ptr<Hotfolders> hotfolders = std::make_shared<Hotfolders>();
};

// The root object. It keeps its sessions only weakly: they live as long as a client holds them.
class Service : public aai::IAAService, public std::enable_shared_from_this<Service> {
public:
    void Start() { RegisterServer(shared_from_this()); }
    void StartUsing(std::shared_ptr<aai::InterfaceBrokers> brokers) {
        RegisterServerUsingBrokers(shared_from_this(), std::move(brokers));
    }
    static void Stop() { UnregisterServer(); }

    std::shared_ptr<aai::IServerSession> registerClient(const std::string& clientName) override {
        clients.push_back(clientName);
        auto session = std::make_shared<Session>();
        sessions.push_back(session);
        return session;
    }
    std::shared_ptr<aai::ISettings> getSettingsServer(const std::string& clientName) override {
        clients.push_back(clientName);
        return settings;
    }

    std::shared_ptr<Session> LastSession() const { return sessions.empty() ? nullptr : sessions.back().lock(); }

    std::vector<std::string> clients;
    std::vector<std::weak_ptr<Session>> sessions;
    std::shared_ptr<Settings> settings = std::make_shared<Settings>();
};

// ---------------------------------------------------------------------------------------------
// Client side

struct EditUserReply : aai::IEditUserReplyHandler {
    void onEditUserResult(aai::EditUserResult result) override { results.push_back(result); }
    std::vector<aai::EditUserResult> results;
};

struct ControllersReply : aai::IGetDomainControllersReplyHandler {
    void onDomainControllers(const aai::DomainControllerList& list) override { controllers = list; }
    aai::DomainControllerList controllers;
};

struct EmailReply : aai::IGetEmailAddressesReplyHandler {
    void onGetEmailAddressesResult(aai::DomainOperationResult result) override { results.push_back(result); }
    void onEmailAddresses(const aai::EmailRecipientList& list) override { recipients = list; }
    std::vector<aai::DomainOperationResult> results;
    aai::EmailRecipientList recipients;
};

struct HotfolderReply : aai::IHotfolderReplyHandler {
    void onHotfolderResult(aai::HotfolderResult result) override { results.push_back(result); }
    std::vector<aai::HotfolderResult> results;
};

struct HotfolderSink : aai::IHotfolderNotifications {
    void hotfolderAdded(int id, const aai::Hotfolder& folder) override { added.emplace_back(id, folder); }
    void hotfolderDeleted(int) override {}
    void hotfolderChanged(int, const aai::Hotfolder&) override {}
    void hotfolderSignalled(int) override {}
    void firstSwitchChanged(bool) override {}
    void secondSwitchChanged(bool) override {}
    std::vector<std::pair<int, aai::Hotfolder>> added;
};

struct UsersSink : aai::IUsersAndGroupsNotifications {
    void userListChanged(const aai::LocalUserList&) override {}
    void userChanged(const aai::LocalUser&) override {}
    void usersDeleted(const aai::IdList&) override {}
    void cardStatusChanged(aai::CardStatus, const std::string&, const aai::CardUserList&) override {}
    void groupMembershipChanged(int, const aai::IdList&) override {}
    void groupListChanged(const aai::GroupList&) override {}
    void groupChanged(const aai::Group&) override {}
    void groupsDeleted(const aai::IdList&) override {}
    void userLoggedIn(const userlogin::LoggedInUser&) override {}
    void userLoggedOut(const userlogin::LoggedInUser&) override {}
    void authenticationModeChanged(aai::AuthenticationMode) override {}
    void flag1Changed(bool enabled) override { flag1.push_back(enabled); }
    void value1Changed(int) override {}
    void flag2Changed(bool) override {}
    void value2Changed(int) override {}
    void flag3Changed(bool) override {}
    void flag4Changed(bool) override {}
    void value3Changed(int) override {}
    void flag5Changed(bool) override {}
    void value4Changed(int) override {}
    void value5Changed(int) override {}
    void value6Changed(int) override {}
    void flagAndValueChanged(bool, int) override {}
    void flag6Changed(bool) override {}
    void flag7Changed(bool) override {}
    std::vector<bool> flag1;
};

}  // namespace e2e
