// Connects to the example service, administers a few users and groups, and prints every reply and
// notification as it arrives.
#include <iostream>
#include <mutex>

#include "aai/aai.h"

using namespace zel::iface::aai;
namespace userlogin = zel::iface::userlogin;

namespace {

std::mutex printMutex;

template <class... T>
void Print(const T&... parts) {
    std::lock_guard<std::mutex> lock(printMutex);
    (std::cout << ... << parts) << std::endl;
}

// Remembers the id the service gave the last record it answered about.
struct EditUserReply : IEditUserReplyHandler {
    void onEditUserResult(EditUserResult result) override { Print("  reply: ", result); }
};

struct EditGroupReply : IEditGroupReplyHandler {
    void onEditGroupResult(EditGroupResult result) override { Print("  reply: ", result); }
};

struct MembershipReply : IEditGroupMembershipReplyHandler {
    void onEditGroupMembershipResult(EditGroupMembershipResult result) override { Print("  reply: ", result); }
};

struct DoneReply : IReplyHandler {
    void onDone() override { Print("  reply: done"); }
};

struct Notifications : IUsersAndGroupsNotifications {
    int lastUserId = 0;
    int lastGroupId = 0;

    void userListChanged(const LocalUserList& users) override { Print("  notification: ", users.size(), " users"); }
    void userChanged(const LocalUser& user) override {
        lastUserId = user.getOrDefaultId(0);
        Print("  notification: user ", lastUserId, " '", user.getFullName(), "' changed");
    }
    void usersDeleted(const IdList& userIds) override { Print("  notification: users deleted ", userIds); }
    void cardStatusChanged(CardStatus status, const std::string&, const CardUserList&) override {
        Print("  notification: card ", status);
    }
    void groupMembershipChanged(int groupId, const IdList& userIds) override {
        Print("  notification: members of group ", groupId, " changed: ", userIds);
    }
    void groupListChanged(const GroupList& groups) override { Print("  notification: ", groups.size(), " groups"); }
    void groupChanged(const Group& group) override {
        lastGroupId = group.getOrDefaultId(0);
        Print("  notification: group ", lastGroupId, " '", group.getOrDefaultCustomName(""), "' changed");
    }
    void groupsDeleted(const IdList& groupIds) override { Print("  notification: groups deleted ", groupIds); }
    void userLoggedIn(const userlogin::LoggedInUser& user) override { Print("  notification: logged in ", user); }
    void userLoggedOut(const userlogin::LoggedInUser& user) override { Print("  notification: logged out ", user); }
    void authenticationModeChanged(AuthenticationMode mode) override { Print("  notification: ", mode); }
    void flag1Changed(bool) override {}
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
};

LocalUser MakeUser(const std::string& fullName, const std::string& email) {
    LocalUser user;
    user.setName(userlogin::USERNAME_CUSTOM);
    user.setCustomName(fullName);
    user.setPassword("Initial#Passw0rd");
    user.setFullName(fullName);
    user.setEmailAddress(email);
    user.setEnabled(true);
    return user;
}

}  // namespace

int main() {
    std::shared_ptr<IAAService> service;
    try {
        service = IAAService::Connect();
    } catch (const std::exception& e) {
        std::cerr << "client: cannot connect: " << e.what() << std::endl;
        return 1;
    }
    if (!service) {
        std::cerr << "client: cannot connect" << std::endl;
        return 1;
    }
    auto session = service->registerClient("example-client");
    auto users = session ? session->getUsersAndGroupsServer() : nullptr;
    if (!users) {
        std::cerr << "client: the service gave no users-and-groups server" << std::endl;
        return 1;
    }

    auto notifications = std::make_shared<Notifications>();
    auto userReply = std::make_shared<EditUserReply>();
    auto groupReply = std::make_shared<EditGroupReply>();
    users->registerNotifications(notifications);

    Print("client: add user 'Margaret Lindqvist'");
    users->addUser(MakeUser("Margaret Lindqvist", "m.lindqvist@example.org"), userReply);
    const int margaret = notifications->lastUserId;
    Print("client: add user 'Margaret Lindqvist' again");
    users->addUser(MakeUser("Margaret Lindqvist", "m.lindqvist@example.org"), userReply);
    Print("client: add user 'Tom Berg'");
    users->addUser(MakeUser("Tom Berg", "t.berg@example.org"), userReply);
    const int tom = notifications->lastUserId;

    Print("client: edit user ", margaret);
    LocalUser edited = MakeUser("Margaret H. Lindqvist", "m.lindqvist@example.org");
    edited.setId(margaret);
    users->editUser(edited, userReply);

    Print("client: add group 'print-room'");
    Group group;
    group.setName(GROUPNAME_CUSTOM);
    group.setCustomName("print-room");
    group.setDescription("Operators of the print room");
    group.setPrivileges(userlogin::PrivilegeList{1, 4, 7});
    users->addGroup(group, groupReply);
    const int printRoom = notifications->lastGroupId;

    Print("client: add members ", margaret, " and ", tom, " to group ", printRoom);
    users->addGroupMembership(printRoom, IdList{margaret, tom}, std::make_shared<MembershipReply>());
    Print("client: check a password");
    Print("  result: ", users->checkPasswordComplexity("short"));
    Print("client: delete user ", tom);
    users->deleteUsers(IdList{tom}, std::make_shared<DoneReply>());

    users->unregisterNotifications(notifications);
    session->closeSession();
    Print("client: done");
    return 0;
}
