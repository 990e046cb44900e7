// Connects to the example service, administers a few users and groups, and prints every reply and
// notification as it arrives.
//     aai_example_client            one session, then exits
//     aai_example_client --watch    prints every notification until SIGINT or SIGTERM; when the
//                                   connection ends it says so, and connects again every second
//                                   until the service is back
//
// A reply comes during the call that asked for it; a notification comes later, on a thread of the
// runtime, once the service has got round to this client (inmemory_service.h). So the session
// waits for the notification each step causes before it goes on: it needs the ids the service
// gave, and it keeps the printed session in the order things happened.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "aai/aai.h"

using namespace zel::iface::aai;
namespace userlogin = zel::iface::userlogin;

namespace {

// Long beyond the service's own bound on a notification (5 s by default), so that a session
// waits for as long as the service may still deliver.
constexpr std::chrono::seconds kNotificationWait{10};

std::mutex printMutex;

template <class... T>
void Print(const T&... parts) {
    std::lock_guard<std::mutex> lock(printMutex);
    (std::cout << ... << parts) << std::endl;
}

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

// Prints every notification. In a session it also keeps what came, so that the session can wait
// for the one a step causes; watching, it keeps nothing (it runs for as long as one likes).
class Notifications : public IUsersAndGroupsNotifications {
public:
    enum class Kind { User, Group, Members, UsersDeleted };

    explicit Notifications(bool keep) : keep_(keep) {}

    // Where the notifications that come from now on start.
    std::size_t Mark() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_.size();
    }
    // The id in the first notification of `kind` about `name` (any, when empty) that came after
    // `mark`, waiting for it; nothing when none came in time.
    std::optional<int> Await(std::size_t mark, Kind kind, const std::string& name = {}) const {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<int> id;
        cv_.wait_for(lock, kNotificationWait, [&] {
            for (std::size_t i = mark; i < seen_.size() && !id; ++i) {
                if (seen_[i].kind == kind && (name.empty() || seen_[i].name == name)) id = seen_[i].id;
            }
            return id.has_value();
        });
        return id;
    }

    void userListChanged(const LocalUserList& users) override { Print("  notification: ", users.size(), " users"); }
    void userChanged(const LocalUser& user) override {
        const int id = user.getOrDefaultId(0);
        Print("  notification: user ", id, " '", user.getFullName(), "' changed");
        Seen(Kind::User, user.getFullName(), id);
    }
    void usersDeleted(const IdList& userIds) override {
        Print("  notification: users deleted ", userIds);
        Seen(Kind::UsersDeleted, {}, 0);
    }
    void cardStatusChanged(CardStatus status, const std::string&, const CardUserList&) override {
        Print("  notification: card ", status);
    }
    void groupMembershipChanged(int groupId, const IdList& userIds) override {
        Print("  notification: members of group ", groupId, " changed: ", userIds);
        Seen(Kind::Members, std::to_string(groupId), groupId);
    }
    void groupListChanged(const GroupList& groups) override { Print("  notification: ", groups.size(), " groups"); }
    void groupChanged(const Group& group) override {
        const int id = group.getOrDefaultId(0);
        Print("  notification: group ", id, " '", group.getOrDefaultCustomName(""), "' changed");
        Seen(Kind::Group, group.getOrDefaultCustomName(""), id);
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

private:
    struct Event {
        Kind kind;
        std::string name;
        int id;
    };

    // After the line is printed, so that the session's next line comes after it.
    void Seen(Kind kind, std::string name, int id) {
        if (!keep_) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(Event{kind, std::move(name), id});
        }
        cv_.notify_all();
    }

    const bool keep_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Event> seen_;
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

// The id a notification gave, or -1 (and said so) when none came in time.
int Expect(const std::optional<int>& id, const std::string& what) {
    if (id) return *id;
    std::cerr << "client: no notification of " << what << " came within " << kNotificationWait.count() << " s"
              << std::endl;
    return -1;
}

int Session() {
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

    using Kind = Notifications::Kind;
    auto notifications = std::make_shared<Notifications>(true);
    auto userReply = std::make_shared<EditUserReply>();
    auto groupReply = std::make_shared<EditGroupReply>();
    users->registerNotifications(notifications);

    Print("client: add user 'Margaret Lindqvist'");
    auto mark = notifications->Mark();
    users->addUser(MakeUser("Margaret Lindqvist", "m.lindqvist@example.org"), userReply);
    const int margaret = Expect(notifications->Await(mark, Kind::User, "Margaret Lindqvist"), "the new user");
    if (margaret < 0) return 1;
    // The service refuses the same name, and has nothing to announce.
    Print("client: add user 'Margaret Lindqvist' again");
    users->addUser(MakeUser("Margaret Lindqvist", "m.lindqvist@example.org"), userReply);
    Print("client: add user 'Tom Berg'");
    mark = notifications->Mark();
    users->addUser(MakeUser("Tom Berg", "t.berg@example.org"), userReply);
    const int tom = Expect(notifications->Await(mark, Kind::User, "Tom Berg"), "the new user");
    if (tom < 0) return 1;

    Print("client: edit user ", margaret);
    LocalUser edited = MakeUser("Margaret H. Lindqvist", "m.lindqvist@example.org");
    edited.setId(margaret);
    mark = notifications->Mark();
    users->editUser(edited, userReply);
    if (Expect(notifications->Await(mark, Kind::User, "Margaret H. Lindqvist"), "the edited user") < 0) return 1;

    Print("client: add group 'print-room'");
    Group group;
    group.setName(GROUPNAME_CUSTOM);
    group.setCustomName("print-room");
    group.setDescription("Operators of the print room");
    group.setPrivileges(userlogin::PrivilegeList{1, 4, 7});
    mark = notifications->Mark();
    users->addGroup(group, groupReply);
    const int printRoom = Expect(notifications->Await(mark, Kind::Group, "print-room"), "the new group");
    if (printRoom < 0) return 1;

    Print("client: add members ", margaret, " and ", tom, " to group ", printRoom);
    mark = notifications->Mark();
    users->addGroupMembership(printRoom, IdList{margaret, tom}, std::make_shared<MembershipReply>());
    if (Expect(notifications->Await(mark, Kind::Members, std::to_string(printRoom)), "the new members") < 0) return 1;
    Print("client: check a password");
    Print("  result: ", users->checkPasswordComplexity("short"));
    Print("client: delete user ", tom);
    mark = notifications->Mark();
    users->deleteUsers(IdList{tom}, std::make_shared<DoneReply>());
    if (Expect(notifications->Await(mark, Kind::UsersDeleted), "the deleted user") < 0) return 1;

    users->unregisterNotifications(notifications);
    session->closeSession();
    Print("client: done");
    return 0;
}

// One connection of the watching client: told when it ends, unless the client is leaving.
struct Watched {
    std::atomic<bool> ended{false};
    std::atomic<bool> leaving{false};
};

int Watch() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    // Block before any thread starts, so that every thread inherits the mask and sigtimedwait
    // sees them.
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto notifications = std::make_shared<Notifications>(false);
    std::shared_ptr<IAAService> service;
    std::shared_ptr<IServerSession> session;
    std::shared_ptr<IUsersAndGroupsServer> users;
    std::shared_ptr<Watched> watched;
    bool toldAbsent = false;
    const auto letGo = [&] {
        if (watched) watched->leaving = true;
        users.reset();
        session.reset();
        service.reset();
        watched.reset();
    };

    for (;;) {
        if (!users) {
            try {
                service = IAAService::Connect();
                if (service) {
                    watched = std::make_shared<Watched>();
                    // A connection that ends before this runs calls back at once; one that ends during
                    // the calls below makes them fail, and the next round connects again.
                    if (auto connection = ConnectionOf(service)) {
                        connection->OnDisconnect([watched = watched] {
                            if (watched->leaving) return;
                            Print("client: the connection to the service ended; connecting again every second");
                            watched->ended = true;
                        });
                    }
                    session = service->registerClient("example-watcher");
                    users = session ? session->getUsersAndGroupsServer() : nullptr;
                }
                if (!users) throw std::runtime_error("the service gave no users-and-groups server");
                users->registerNotifications(notifications);
                Print("client: watching");
                toldAbsent = false;
            } catch (const std::exception& e) {
                letGo();
                if (!toldAbsent) Print("client: no service yet (", e.what(), "); trying every second");
                toldAbsent = true;
            }
        }
        const timespec second{1, 0};
        const int signal = sigtimedwait(&signals, nullptr, &second);
        if (signal == SIGINT || signal == SIGTERM) break;
        if (watched && watched->ended) {
            letGo();
            toldAbsent = true;  // the end was told already
        }
    }

    if (users && !watched->ended) {
        try {
            users->unregisterNotifications(notifications);
            session->closeSession();
        } catch (const std::exception&) {
            // The service went while we were leaving: there is nothing left to unregister from.
        }
    }
    letGo();
    Print("client: stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--watch") == 0) return Watch();
    if (argc != 1) {
        std::cerr << "usage: aai_example_client [--watch]" << std::endl;
        return 2;
    }
    try {
        return Session();
    } catch (const std::exception& e) {
        // The service went away mid-session: a call with a result has no result to give.
        std::cerr << "client: " << e.what() << std::endl;
        return 1;
    }
}
