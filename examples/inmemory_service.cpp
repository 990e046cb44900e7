#include "inmemory_service.h"

#include <iostream>

namespace example {

namespace {

// What the sinks hear of a user: everything but the password, which only the service keeps.
LocalUser WithoutPassword(LocalUser user) {
    user.setPassword("");
    return user;
}

}  // namespace

void UsersAndGroups::registerNotifications(std::shared_ptr<IUsersAndGroupsNotifications> notifications) {
    notifier_.Add(std::move(notifications));
}

void UsersAndGroups::unregisterNotifications(std::shared_ptr<IUsersAndGroupsNotifications> notifications) {
    // The same sink arrives as the same proxy object, so pointer equality finds the registration.
    notifier_.Remove(notifications);
}

void UsersAndGroups::addUser(const LocalUser& user, std::shared_ptr<IEditUserReplyHandler> handler) {
    LocalUser added = user;
    EditUserResult result = EDITUSERRESULT_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [id, existing] : users_) {
            if (existing.getFullName() == user.getFullName()) result = EDITUSERRESULT_USER_ALREADY_EXISTS;
        }
        if (result == EDITUSERRESULT_SUCCESS) {
            added.setId(nextUserId_++);
            users_[added.getId()] = added;
        }
    }
    if (handler) handler->onEditUserResult(result);
    if (result == EDITUSERRESULT_SUCCESS) Notify([user = WithoutPassword(added)](auto& s) { s.userChanged(user); });
}

void UsersAndGroups::editUser(const LocalUser& user, std::shared_ptr<IEditUserReplyHandler> handler) {
    EditUserResult result = EDITUSERRESULT_USER_NOT_FOUND;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (user.hasId() && users_.count(user.getId())) {
            users_[user.getId()] = user;
            result = EDITUSERRESULT_SUCCESS;
        }
    }
    if (handler) handler->onEditUserResult(result);
    if (result == EDITUSERRESULT_SUCCESS) Notify([user = WithoutPassword(user)](auto& s) { s.userChanged(user); });
}

void UsersAndGroups::deleteUsers(const IdList& userIds, std::shared_ptr<IReplyHandler> handler) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int id : userIds) {
            users_.erase(id);
            for (auto& [group, members] : members_) members.erase(id);
        }
    }
    if (handler) handler->onDone();
    Notify([userIds](auto& s) { s.usersDeleted(userIds); });
}

EditGroupMembershipResult UsersAndGroups::ChangeMembership(int groupId, const IdList& userIds, bool add) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!groups_.count(groupId)) return EDITGROUPMEMBERSHIPRESULT_GROUP_NOT_FOUND;
    for (int id : userIds) {
        if (!users_.count(id)) return EDITGROUPMEMBERSHIPRESULT_USER_NOT_FOUND;
    }
    for (int id : userIds) {
        if (add) members_[groupId].insert(id);
        else members_[groupId].erase(id);
    }
    return EDITGROUPMEMBERSHIPRESULT_SUCCESS;
}

void UsersAndGroups::addGroupMembership(int groupId, const IdList& userIds,
                                        std::shared_ptr<IEditGroupMembershipReplyHandler> handler) {
    const EditGroupMembershipResult result = ChangeMembership(groupId, userIds, true);
    if (handler) handler->onEditGroupMembershipResult(result);
    if (result == EDITGROUPMEMBERSHIPRESULT_SUCCESS) Notify([groupId, userIds](auto& s) { s.groupMembershipChanged(groupId, userIds); });
}

void UsersAndGroups::removeGroupMembership(int groupId, const IdList& userIds,
                                           std::shared_ptr<IEditGroupMembershipReplyHandler> handler) {
    const EditGroupMembershipResult result = ChangeMembership(groupId, userIds, false);
    if (handler) handler->onEditGroupMembershipResult(result);
    if (result == EDITGROUPMEMBERSHIPRESULT_SUCCESS) Notify([groupId, userIds](auto& s) { s.groupMembershipChanged(groupId, userIds); });
}

void UsersAndGroups::addGroup(const Group& group, std::shared_ptr<IEditGroupReplyHandler> handler) {
    Group added = group;
    EditGroupResult result = EDITGROUPRESULT_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [id, existing] : groups_) {
            if (existing.getName() == group.getName() &&
                existing.getOrDefaultCustomName("") == group.getOrDefaultCustomName("")) {
                result = EDITGROUPRESULT_GROUP_ALREADY_EXISTS;
            }
        }
        if (result == EDITGROUPRESULT_SUCCESS) {
            added.setId(nextGroupId_++);
            groups_[added.getId()] = added;
        }
    }
    if (handler) handler->onEditGroupResult(result);
    if (result == EDITGROUPRESULT_SUCCESS) Notify([added](auto& s) { s.groupChanged(added); });
}

void UsersAndGroups::editGroup(const Group& group, std::shared_ptr<IEditGroupReplyHandler> handler) {
    EditGroupResult result = EDITGROUPRESULT_GROUP_NOT_FOUND;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (group.hasId() && groups_.count(group.getId())) {
            groups_[group.getId()] = group;
            result = EDITGROUPRESULT_SUCCESS;
        }
    }
    if (handler) handler->onEditGroupResult(result);
    if (result == EDITGROUPRESULT_SUCCESS) Notify([group](auto& s) { s.groupChanged(group); });
}

void UsersAndGroups::deleteGroups(const IdList& groupIds, std::shared_ptr<IReplyHandler> handler) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int id : groupIds) {
            groups_.erase(id);
            members_.erase(id);
        }
    }
    if (handler) handler->onDone();
    Notify([groupIds](auto& s) { s.groupsDeleted(groupIds); });
}

// Authentication is outside what this example stores; it answers that the user does not exist.
void UsersAndGroups::authenticateUser(const userlogin::UserLoginId&, const std::string&, const userlogin::PrivilegeList&,
                                      std::shared_ptr<IAuthenticationReplyHandler> handler) {
    if (handler) handler->onAuthenticationFailed(AUTHENTICATIONFAILUREREASON_USER_DOES_NOT_EXIST);
}

void UsersAndGroups::requestExternalUser(const userlogin::LoggedInUser& user,
                                         std::shared_ptr<IExternalUserReplyHandler> handler) {
    if (handler) handler->onExternalUser(user);
}

void UsersAndGroups::requestById(int, std::shared_ptr<IReplyHandler> handler) {
    if (handler) handler->onDone();
}

void UsersAndGroups::signalById(int) {}

std::string UsersAndGroups::createNonce(const userlogin::UserLoginId& loginId) {
    return "nonce-" + loginId.LoginName();
}

void UsersAndGroups::authenticateUserNotAtMachine(const userlogin::UserLoginId&, const std::string&,
                                                  const std::string&, const userlogin::PrivilegeList&,
                                                  std::shared_ptr<IAuthenticationReplyHandler> handler) {
    if (handler) handler->onAuthenticationFailed(AUTHENTICATIONFAILUREREASON_USER_DOES_NOT_EXIST);
}

AuthenticateUserNotAtMachineResult UsersAndGroups::authenticateUserNotAtMachineSync(
    const userlogin::UserLoginId&, const std::string&, const std::string&, const userlogin::PrivilegeList&) {
    AuthenticateUserNotAtMachineResult result;
    result.setSucceeded(false);
    result.setFailReason(AUTHENTICATIONFAILUREREASON_USER_DOES_NOT_EXIST);
    return result;
}

bool UsersAndGroups::isAnyUserAllowedToAccessJob() { return true; }

bool UsersAndGroups::isUserAllowedToAccessJob(const userlogin::LoggedInUser& user, const std::string& jobOwner) {
    return user.Id().LoginName() == jobOwner;
}

void UsersAndGroups::changePassword(const userlogin::UserLoginId&, const std::string&, const std::string&,
                                    std::shared_ptr<IChangePasswordReplyHandler> handler) {
    if (handler) handler->onChangePasswordFailed(CHANGEPASSWORDFAILUREREASON_USER_NOT_FOUND);
}

std::string UsersAndGroups::getPasswordResetToken(const userlogin::UserLoginId&) { return {}; }

bool UsersAndGroups::isPasswordResetTokenValid(const userlogin::UserLoginId&, const std::string&) { return false; }

void UsersAndGroups::resetPassword(const userlogin::UserLoginId&, const std::string&,
                                   std::shared_ptr<IChangePasswordReplyHandler> handler) {
    if (handler) handler->onChangePasswordFailed(CHANGEPASSWORDFAILUREREASON_USER_NOT_FOUND);
}

PasswordComplexityErrors UsersAndGroups::checkPasswordComplexity(const std::string& password) {
    PasswordComplexityErrors errors;
    if (password.size() < 8) errors.push_back(PASSWORDCOMPLEXITYERROR_TOO_SHORT);
    bool lower = false, upper = false, digit = false;
    for (unsigned char c : password) {
        lower |= std::islower(c) != 0;
        upper |= std::isupper(c) != 0;
        digit |= std::isdigit(c) != 0;
    }
    if (!lower || !upper) errors.push_back(PASSWORDCOMPLEXITYERROR_MISSING_MIXED_CASE);
    if (!digit) errors.push_back(PASSWORDCOMPLEXITYERROR_INSUFFICIENT_NUMERICS);
    return errors;
}

std::string UsersAndGroups::getUserPrincipalName(const LocalUser& user) {
    return user.getOrDefaultCustomName(user.getFullName()) + "@controller";
}

ValidateNetworkUsernameResult UsersAndGroups::validateNetworkUsername(const std::string& userName) {
    if (userName == "root" || userName == "admin") return VALIDATENETWORKUSERNAMERESULT_FAILED_RESERVED_ACCOUNT;
    return userName.find_first_of(" /\\:") == std::string::npos ? VALIDATENETWORKUSERNAMERESULT_OK
                                                                 : VALIDATENETWORKUSERNAMERESULT_FAILED_INVALID_CHARACTERS;
}

void UsersAndGroups::setAuthenticationMode(AuthenticationMode mode) {
    Notify([=](auto& s) { s.authenticationModeChanged(mode); });
}

void UsersAndGroups::testSmartCard(const std::string&, const std::string&, const std::string&, bool, bool, int,
                                   const std::string&, std::shared_ptr<ITestSmartCardReplyHandler> handler) {
    TestSmartCardResult result;
    result.setPinValid(false);
    result.setPinFailReason(AUTHENTICATIONFAILUREREASON_CERTIFICATE_NOT_FOUND_ON_SMART_CARD);
    if (handler) handler->onTestSmartCardResult(result);
}

void UsersAndGroups::testNfcCard(const std::string&, std::shared_ptr<ITestNfcCardReplyHandler> handler) {
    if (handler) handler->onTestNfcCardResults({});
}

void UsersAndGroups::testNfcCardPinCode(const userlogin::UserLoginId&, const std::string&,
                                        std::shared_ptr<ITestNfcCardPinCodeReplyHandler> handler) {
    if (handler) handler->onTestNfcCardPinCodeResult(DOMAINOPERATIONRESULT_NO_SERVERS_DETECTED);
}

SettingItems Settings::getSetting(const SettingKeys& keys) {
    std::lock_guard<std::mutex> lock(mutex_);
    SettingItems items;
    for (const auto& key : keys) {
        auto it = values_.find(key);
        if (it != values_.end()) items.emplace_back(it->first, it->second);
    }
    return items;
}

void Settings::setSetting(const SettingItems& items) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& item : items) values_[item.getKey()] = item.getValue();
}

PossibleValues Settings::getPossibleValues(const std::string&) { return {}; }

std::shared_ptr<IServerSession> Service::registerClient(const std::string& clientName) {
    std::cout << "service: client '" << clientName << "' registered" << std::endl;
    return std::make_shared<Session>(usersAndGroups_);
}

std::shared_ptr<ISettings> Service::getSettingsServer(const std::string&) { return settings_; }

}  // namespace example
