// An in-memory implementation of the service's entry points and its users-and-groups server.
//
// Two ways back to a client, for two different needs:
//   - The outcome of a request goes back through the caller's reply handler during the call: the
//     caller waits for it anyway, so a client that does not answer holds only itself.
//   - Every change is announced to every registered notification sink, and those are other
//     clients, which may be slow, frozen or gone. So a request never calls them: it posts the
//     change to a Notifier (notifier.h), which keeps a queue per sink and delivers each queue on
//     a thread of its own, every call bounded by a deadline. A sink is dropped when a notification
//     to it fails or misses its deadline, when too many wait for it, or as soon as its connection
//     ends. A client learns of the changes in the order they happened, on a thread of its own
//     runtime, after the reply to the request that made them and possibly after that request has
//     returned (so the example client waits for the notification it expects).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "aai/aai.h"
#include "notifier.h"

namespace example {

using namespace zel::iface::aai;
namespace userlogin = zel::iface::userlogin;

class UsersAndGroups : public IUsersAndGroupsServer {
public:
    explicit UsersAndGroups(NotifierOptions notifications = {}) : notifier_(notifications) {}

    // Lets every sink go and waits for the threads delivering to them (Notifier::Stop).
    void StopNotifications() { notifier_.Stop(); }
    // Sinks registered and not dropped.
    std::size_t NotificationSinks() const { return notifier_.SinkCount(); }

    void registerNotifications(std::shared_ptr<IUsersAndGroupsNotifications> notifications) override;
    void unregisterNotifications(std::shared_ptr<IUsersAndGroupsNotifications> notifications) override;
    void addUser(const LocalUser& user, std::shared_ptr<IEditUserReplyHandler> handler) override;
    void deleteUsers(const IdList& userIds, std::shared_ptr<IReplyHandler> handler) override;
    void editUser(const LocalUser& user, std::shared_ptr<IEditUserReplyHandler> handler) override;
    void addGroupMembership(int groupId, const IdList& userIds,
                            std::shared_ptr<IEditGroupMembershipReplyHandler> handler) override;
    void removeGroupMembership(int groupId, const IdList& userIds,
                               std::shared_ptr<IEditGroupMembershipReplyHandler> handler) override;
    void addGroup(const Group& group, std::shared_ptr<IEditGroupReplyHandler> handler) override;
    void deleteGroups(const IdList& groupIds, std::shared_ptr<IReplyHandler> handler) override;
    void editGroup(const Group& group, std::shared_ptr<IEditGroupReplyHandler> handler) override;
    void authenticateUser(const userlogin::UserLoginId& loginId, const std::string& password,
                          const userlogin::PrivilegeList& requiredPrivileges,
                          std::shared_ptr<IAuthenticationReplyHandler> handler) override;
    void requestExternalUser(const userlogin::LoggedInUser& user,
                             std::shared_ptr<IExternalUserReplyHandler> handler) override;
    void requestById(int requestId, std::shared_ptr<IReplyHandler> handler) override;
    void signalById(int requestId) override;
    std::string createNonce(const userlogin::UserLoginId& loginId) override;
    void authenticateUserNotAtMachine(const userlogin::UserLoginId& loginId, const std::string& password,
                                      const std::string& otp, const userlogin::PrivilegeList& requiredPrivileges,
                                      std::shared_ptr<IAuthenticationReplyHandler> handler) override;
    AuthenticateUserNotAtMachineResult authenticateUserNotAtMachineSync(
        const userlogin::UserLoginId& loginId, const std::string& password, const std::string& otp,
        const userlogin::PrivilegeList& requiredPrivileges) override;
    bool isAnyUserAllowedToAccessJob() override;
    bool isUserAllowedToAccessJob(const userlogin::LoggedInUser& user, const std::string& jobOwner) override;
    void changePassword(const userlogin::UserLoginId& loginId, const std::string& oldPassword,
                        const std::string& newPassword, std::shared_ptr<IChangePasswordReplyHandler> handler) override;
    std::string getPasswordResetToken(const userlogin::UserLoginId& loginId) override;
    bool isPasswordResetTokenValid(const userlogin::UserLoginId& loginId, const std::string& token) override;
    void resetPassword(const userlogin::UserLoginId& loginId, const std::string& token,
                       std::shared_ptr<IChangePasswordReplyHandler> handler) override;
    PasswordComplexityErrors checkPasswordComplexity(const std::string& password) override;
    std::string getUserPrincipalName(const LocalUser& user) override;
    ValidateNetworkUsernameResult validateNetworkUsername(const std::string& userName) override;
    void setAuthenticationMode(AuthenticationMode mode) override;
    void setFlag1(bool enabled) override { Notify([=](auto& s) { s.flag1Changed(enabled); }); }
    void setValue1(int value) override { Notify([=](auto& s) { s.value1Changed(value); }); }
    void setFlag2(bool enabled) override { Notify([=](auto& s) { s.flag2Changed(enabled); }); }
    void setValue2(int value) override { Notify([=](auto& s) { s.value2Changed(value); }); }
    void setFlag3(bool enabled) override { Notify([=](auto& s) { s.flag3Changed(enabled); }); }
    void setFlag4(bool enabled) override { Notify([=](auto& s) { s.flag4Changed(enabled); }); }
    void setValue3(int value) override { Notify([=](auto& s) { s.value3Changed(value); }); }
    void setFlag5(bool enabled) override { Notify([=](auto& s) { s.flag5Changed(enabled); }); }
    void setValue4(int value) override { Notify([=](auto& s) { s.value4Changed(value); }); }
    void setValue5(int value) override { Notify([=](auto& s) { s.value5Changed(value); }); }
    void setValue6(int value) override { Notify([=](auto& s) { s.value6Changed(value); }); }
    void setFlagAndValue(bool flag, int value) override {
        Notify([=](auto& s) { s.flagAndValueChanged(flag, value); });
    }
    void setFlag6(bool enabled) override { Notify([=](auto& s) { s.flag6Changed(enabled); }); }
    void testSmartCard(const std::string& cardReader, const std::string& pin, const std::string& domainName,
                       bool checkCertificate, bool checkDomain, int localGroupId,
                       const std::string& userPrincipalName, std::shared_ptr<ITestSmartCardReplyHandler> handler) override;
    void setFlag7(bool enabled) override { Notify([=](auto& s) { s.flag7Changed(enabled); }); }
    void testNfcCard(const std::string& cardId, std::shared_ptr<ITestNfcCardReplyHandler> handler) override;
    void testNfcCardPinCode(const userlogin::UserLoginId& loginId, const std::string& pinCode,
                            std::shared_ptr<ITestNfcCardPinCodeReplyHandler> handler) override;

private:
    // Queues `f` for every registered sink. `f` runs later on another thread, so it captures
    // copies, never references to the request's arguments. Called after the reply handler, off
    // the store's lock: the client hears the outcome of its request first.
    template <class F>
    void Notify(F f) {
        notifier_.Post(std::move(f));
    }
    EditGroupMembershipResult ChangeMembership(int groupId, const IdList& userIds, bool add);

    std::mutex mutex_;
    int nextUserId_ = 1;
    int nextGroupId_ = 1;
    std::map<int, LocalUser> users_;
    std::map<int, Group> groups_;
    std::map<int, std::set<int>> members_;
    Notifier notifier_;
};

class Settings : public ISettings {
public:
    SettingItems getSetting(const SettingKeys& keys) override;
    void setSetting(const SettingItems& items) override;
    PossibleValues getPossibleValues(const std::string& key) override;

private:
    std::mutex mutex_;
    std::map<std::string, std::string> values_;
};

class Session : public IServerSession {
public:
    explicit Session(std::shared_ptr<UsersAndGroups> usersAndGroups) : usersAndGroups_(std::move(usersAndGroups)) {}
    void closeSession() override {}
    std::shared_ptr<IPasswordHandler> getPasswordHandler() override { return nullptr; }
    std::shared_ptr<IUsersAndGroupsServer> getUsersAndGroupsServer() override { return usersAndGroups_; }
    std::shared_ptr<IClusterSecurityServer> getClusterSecurityServer() override { return nullptr; }
    std::shared_ptr<IEmailAddressServer> getEmailAddressServer() override { return nullptr; }
    std::shared_ptr<IDomainConfigurator> getDomainConfigurator() override { return nullptr; }
    std::shared_ptr<IHotfolderServer> getHotfolderServer() override { return nullptr; }

private:
    std::shared_ptr<UsersAndGroups> usersAndGroups_;
};

// The root object: one users-and-groups store and one settings store shared by every client.
class Service : public IAAService, public std::enable_shared_from_this<Service> {
public:
    explicit Service(NotifierOptions notifications = {})
        : usersAndGroups_(std::make_shared<UsersAndGroups>(notifications)) {}
    // Serves a store made elsewhere (one that also watches what it is asked, say).
    explicit Service(std::shared_ptr<UsersAndGroups> usersAndGroups) : usersAndGroups_(std::move(usersAndGroups)) {}

    std::shared_ptr<IServerSession> registerClient(const std::string& clientName) override;
    std::shared_ptr<ISettings> getSettingsServer(const std::string& clientName) override;

    void Start() { RegisterServer(shared_from_this()); }
    // Stops accepting clients, and ends notifying: returns once no thread of the service's own
    // runs. Connections open still reach the stores; their changes are no longer announced.
    void Stop() {
        UnregisterServer();
        usersAndGroups_->StopNotifications();
    }

    const std::shared_ptr<UsersAndGroups>& Users() const { return usersAndGroups_; }

private:
    std::shared_ptr<UsersAndGroups> usersAndGroups_;
    std::shared_ptr<Settings> settings_ = std::make_shared<Settings>();
};

}  // namespace example
