// What the example's tests share: sinks of their own, the example's store watched, a client in
// this process, and the service served from this process.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "children.h"
#include "inmemory_service.h"
#include "trace/trace.h"

namespace examples_test {

namespace aai = zel::iface::aai;
using namespace std::chrono_literals;

// A sink of the test's own: keeps what it is told and on which threads, and can be made to throw
// or to block until the test lets it go.
class Sink : public aai::IUsersAndGroupsNotifications {
public:
    enum class Mode { Answer, Throw, Block };
    explicit Sink(Mode mode = Mode::Answer) : mode_(mode) {}

    std::vector<std::string> Seen() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    std::size_t Count() const { return Seen().size(); }
    bool AwaitCount(std::size_t n, std::chrono::milliseconds bound = 5s) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, bound, [&] { return seen_.size() >= n; });
    }
    bool Blocked() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return blocked_ > 0;
    }
    // Blocked calls return, and later ones answer at once.
    void Release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            released_ = true;
        }
        cv_.notify_all();
    }
    std::set<std::thread::id> Threads() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_;
    }

    void userChanged(const aai::LocalUser& user) override {
        // A password must never reach a sink: shown if it does, so that every expectation fails.
        const std::string password = user.getPassword().empty() ? "" : " password '" + user.getPassword() + "'";
        Told("user " + std::to_string(user.getOrDefaultId(0)) + " '" + user.getFullName() + "'" + password);
    }
    void value1Changed(int value) override { Told("value1 " + std::to_string(value)); }
    void userListChanged(const aai::LocalUserList&) override { Told("users"); }
    void usersDeleted(const aai::IdList&) override { Told("users deleted"); }
    void cardStatusChanged(aai::CardStatus, const std::string&, const aai::CardUserList&) override { Told("card"); }
    void groupMembershipChanged(int, const aai::IdList&) override { Told("members"); }
    void groupListChanged(const aai::GroupList&) override { Told("groups"); }
    void groupChanged(const aai::Group&) override { Told("group"); }
    void groupsDeleted(const aai::IdList&) override { Told("groups deleted"); }
    void userLoggedIn(const zel::iface::userlogin::LoggedInUser&) override { Told("logged in"); }
    void userLoggedOut(const zel::iface::userlogin::LoggedInUser&) override { Told("logged out"); }
    void authenticationModeChanged(aai::AuthenticationMode) override { Told("mode"); }
    void flag1Changed(bool) override { Told("flag1"); }
    void flag2Changed(bool) override { Told("flag2"); }
    void value2Changed(int) override { Told("value2"); }
    void flag3Changed(bool) override { Told("flag3"); }
    void flag4Changed(bool) override { Told("flag4"); }
    void value3Changed(int) override { Told("value3"); }
    void flag5Changed(bool) override { Told("flag5"); }
    void value4Changed(int) override { Told("value4"); }
    void value5Changed(int) override { Told("value5"); }
    void value6Changed(int) override { Told("value6"); }
    void flagAndValueChanged(bool, int) override { Told("flag and value"); }
    void flag6Changed(bool) override { Told("flag6"); }
    void flag7Changed(bool) override { Told("flag7"); }

private:
    void Told(std::string what) {
        std::unique_lock<std::mutex> lock(mutex_);
        seen_.push_back(std::move(what));
        threads_.insert(std::this_thread::get_id());
        cv_.notify_all();
        if (mode_ == Mode::Throw) throw std::runtime_error("this sink refuses every notification");
        if (mode_ == Mode::Block) {
            ++blocked_;
            cv_.wait(lock, [&] { return released_; });
            --blocked_;
        }
    }

    const Mode mode_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<std::string> seen_;
    std::set<std::thread::id> threads_;
    int blocked_ = 0;
    bool released_ = false;
};

// The example's store, remembering (weakly) each sink it was given: the service's proxies of the
// clients' sinks, whose release the tests wait for.
class ObservedStore : public example::UsersAndGroups {
public:
    using UsersAndGroups::UsersAndGroups;
    void registerNotifications(std::shared_ptr<aai::IUsersAndGroupsNotifications> sink) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            registered_.push_back(sink);
        }
        UsersAndGroups::registerNotifications(std::move(sink));
    }
    // The proxy given by the n-th registration.
    std::weak_ptr<aai::IUsersAndGroupsNotifications> Registered(std::size_t n) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return n < registered_.size() ? registered_[n] : std::weak_ptr<aai::IUsersAndGroupsNotifications>();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<aai::IUsersAndGroupsNotifications>> registered_;
};

// One client's connection, in this process.
struct Client {
    Client() {
        root = aai::IAAService::Connect();
        session = root ? root->registerClient("notifier-test") : nullptr;
        users = session ? session->getUsersAndGroupsServer() : nullptr;
    }
    void Close() { aai::ConnectionOf(root)->Close(); }
    std::shared_ptr<aai::IAAService> root;
    std::shared_ptr<aai::IServerSession> session;
    std::shared_ptr<aai::IUsersAndGroupsServer> users;
};

inline aai::LocalUser User(const std::string& fullName) {
    aai::LocalUser user;
    user.setName(zel::iface::userlogin::USERNAME_CUSTOM);
    user.setCustomName(fullName);
    user.setFullName(fullName);
    user.setPassword("Initial#Passw0rd");
    return user;
}

struct NoReply : aai::IEditUserReplyHandler {
    void onEditUserResult(aai::EditUserResult) override {}
};

// What was logged, for a failure's message.
inline std::string Logged(const trace::Capture& capture) {
    std::string text;
    for (const auto& record : capture.Records()) text += record.text + "\n";
    return text;
}

inline int DropsLogged(const trace::Capture& capture, const std::string& reason) {
    int n = 0;
    for (const auto& record : capture.Records()) {
        n += record.text.find("dropped the notification sink") != std::string::npos &&
             record.text.find(reason) != std::string::npos;
    }
    return n;
}

// Serves the example service from this process, on a socket directory of the test's own so that
// it never takes the place of a service running on the machine.
class ServiceHere : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("ZEL_IPC_DIR", dir_.Path().c_str(), 1); }
    void TearDown() override { StopService(); }

    void StartService(example::NotifierOptions options = {}) {
        store = std::make_shared<ObservedStore>(options);
        service = std::make_shared<example::Service>(store);
        service->Start();
    }
    void StopService() {
        if (service) service->Stop();
        service.reset();
        store.reset();
    }

    children::TempDir dir_;
    std::shared_ptr<ObservedStore> store;
    std::shared_ptr<example::Service> service;
};

}  // namespace examples_test
