// Calls of the binding beside their floors, measured in the same binary and run.
//
// Between two processes over the Unix-socket transport: a forked child serves a minimal service on
// $ZEL_IPC_DIR/AAI.sock and this process calls it. Each call's floor is a raw ping-pong over a Unix
// stream socketpair with a forked echoing child, moving the same number of bytes each way as the
// call does (counted by this executable's sendmsg and recv over a batch of calls). In-process: calls
// through a proxy of a server registered in this process, with the heap allocations per call.
//
// Benchmark names pair up: "floor/X" is the floor of "call/X" (two round trips for the callback);
// the two threads of "call2/void_localuser_two_threads" are held to "floor/void_localuser".
// AAI_BENCH_PIN=1 pins this process, every thread it starts and the children to one CPU.
#include <dlfcn.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "aai/aai.h"
#include "ipc2/deadline.h"
#include "ipc2/errors.h"

// Every allocation of the process, through any thread, is counted.
namespace {
std::atomic<std::uint64_t> g_allocations{0};

// The bytes the socket transport sends and receives, counted while g_countSocketBytes is set: this
// executable's sendmsg and recv stand in front of the C library's (the target exports them).
std::atomic<bool> g_countSocketBytes{false};
std::atomic<long long> g_socketSent{0};
std::atomic<long long> g_socketReceived{0};

template <class F>
F Next(const char* name) {
    void* f = ::dlsym(RTLD_NEXT, name);
    if (f == nullptr) ::abort();
    return reinterpret_cast<F>(f);
}
}  // namespace

extern "C" ssize_t sendmsg(int fd, const struct msghdr* message, int flags) {
    static const auto next = Next<ssize_t (*)(int, const struct msghdr*, int)>("sendmsg");
    const ssize_t n = next(fd, message, flags);
    if (n > 0 && g_countSocketBytes.load(std::memory_order_relaxed)) g_socketSent += n;
    return n;
}

extern "C" ssize_t recv(int fd, void* data, std::size_t size, int flags) {
    static const auto next = Next<ssize_t (*)(int, void*, std::size_t, int)>("recv");
    const ssize_t n = next(fd, data, size, flags);
    if (n > 0 && g_countSocketBytes.load(std::memory_order_relaxed)) g_socketReceived += n;
    return n;
}

__attribute__((noinline)) void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void* operator new[](std::size_t size) { return ::operator new(size); }
__attribute__((noinline)) void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
__attribute__((noinline)) void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
// Out of line, so that the compiler never sees a free() meet the operator new it came from.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using namespace zel::iface::aai;
namespace userlogin = zel::iface::userlogin;

LocalUser SampleLocalUser() {
    return LocalUser(1042, userlogin::USERNAME_ADMINISTRATOR, std::string("print-room-admin"), "S3cure!Passw0rd#2024",
                     "Margaret H. Lindqvist", "Facility printer administrator", "m.lindqvist@example.org", true, true,
                     true, std::string("EXAMPLE\\mlindqvist"));
}

// The last notification sink registered with the in-process service: the benchmark calls it as the
// service would.
std::shared_ptr<IUsersAndGroupsNotifications> g_sinkProxy;

// The deadline benchmark: calls given kCallersTime to a method the service spends kSlowCall in.
constexpr auto kSlowCall = std::chrono::milliseconds(10);
constexpr auto kCallersTime = std::chrono::milliseconds(5);

// The service's side: only what the benchmarks call does anything.
class UsersAndGroups : public IUsersAndGroupsServer {
public:
    void addUser(const LocalUser&, std::shared_ptr<IEditUserReplyHandler> handler) override {
        if (handler) handler->onEditUserResult(EDITUSERRESULT_SUCCESS);
    }
    void editUser(const LocalUser&, std::shared_ptr<IEditUserReplyHandler>) override {}  // never calls back
    PasswordComplexityErrors checkPasswordComplexity(const std::string&) override {
        PasswordComplexityErrors errors;
        errors.push_back(PASSWORDCOMPLEXITYERROR_MISSING_MIXED_CASE);
        return errors;
    }
    bool isAnyUserAllowedToAccessJob() override { return true; }

    void registerNotifications(std::shared_ptr<IUsersAndGroupsNotifications> sink) override { g_sinkProxy = sink; }

    // Unused by the benchmarks.
    void unregisterNotifications(std::shared_ptr<IUsersAndGroupsNotifications>) override {}
    void deleteUsers(const IdList&, std::shared_ptr<IReplyHandler>) override {}
    void addGroupMembership(int, const IdList&, std::shared_ptr<IEditGroupMembershipReplyHandler>) override {}
    void removeGroupMembership(int, const IdList&, std::shared_ptr<IEditGroupMembershipReplyHandler>) override {}
    void addGroup(const Group&, std::shared_ptr<IEditGroupReplyHandler>) override {}
    void deleteGroups(const IdList&, std::shared_ptr<IReplyHandler>) override {}
    void editGroup(const Group&, std::shared_ptr<IEditGroupReplyHandler>) override {}
    void authenticateUser(const userlogin::UserLoginId&, const std::string&, const userlogin::PrivilegeList&, std::shared_ptr<IAuthenticationReplyHandler>) override {}
    void requestExternalUser(const userlogin::LoggedInUser&, std::shared_ptr<IExternalUserReplyHandler>) override {}
    void requestById(int, std::shared_ptr<IReplyHandler>) override {}
    void signalById(int) override {}
    std::string createNonce(const userlogin::UserLoginId&) override { return {}; }
    void authenticateUserNotAtMachine(const userlogin::UserLoginId&, const std::string&, const std::string&, const userlogin::PrivilegeList&, std::shared_ptr<IAuthenticationReplyHandler>) override {}
    AuthenticateUserNotAtMachineResult authenticateUserNotAtMachineSync(const userlogin::UserLoginId&, const std::string&, const std::string&, const userlogin::PrivilegeList&) override { return {}; }
    bool isUserAllowedToAccessJob(const userlogin::LoggedInUser&, const std::string&) override { return {}; }
    void changePassword(const userlogin::UserLoginId&, const std::string&, const std::string&, std::shared_ptr<IChangePasswordReplyHandler>) override {}
    // The slow method of the deadline benchmark.
    std::string getPasswordResetToken(const userlogin::UserLoginId&) override {
        std::this_thread::sleep_for(kSlowCall);
        return {};
    }
    bool isPasswordResetTokenValid(const userlogin::UserLoginId&, const std::string&) override { return {}; }
    void resetPassword(const userlogin::UserLoginId&, const std::string&, std::shared_ptr<IChangePasswordReplyHandler>) override {}
    std::string getUserPrincipalName(const LocalUser&) override { return {}; }
    ValidateNetworkUsernameResult validateNetworkUsername(const std::string&) override { return {}; }
    void setAuthenticationMode(AuthenticationMode) override {}
    void setFlag1(bool) override {}
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
    void testSmartCard(const std::string&, const std::string&, const std::string&, bool, bool, int, const std::string&, std::shared_ptr<ITestSmartCardReplyHandler>) override {}
    void setFlag7(bool) override {}
    void testNfcCard(const std::string&, std::shared_ptr<ITestNfcCardReplyHandler>) override {}
    void testNfcCardPinCode(const userlogin::UserLoginId&, const std::string&, std::shared_ptr<ITestNfcCardPinCodeReplyHandler>) override {}
};

class Session : public IServerSession {
public:
    void closeSession() override {}
    std::shared_ptr<IPasswordHandler> getPasswordHandler() override { return nullptr; }
    std::shared_ptr<IUsersAndGroupsServer> getUsersAndGroupsServer() override { return users_; }
    std::shared_ptr<IClusterSecurityServer> getClusterSecurityServer() override { return nullptr; }
    std::shared_ptr<IEmailAddressServer> getEmailAddressServer() override { return nullptr; }
    std::shared_ptr<IDomainConfigurator> getDomainConfigurator() override { return nullptr; }
    std::shared_ptr<IHotfolderServer> getHotfolderServer() override { return nullptr; }

private:
    std::shared_ptr<IUsersAndGroupsServer> users_ = std::make_shared<UsersAndGroups>();
};

class Service : public IAAService {
public:
    std::shared_ptr<IServerSession> registerClient(const std::string&) override { return session_; }
    std::shared_ptr<ISettings> getSettingsServer(const std::string&) override { return nullptr; }
    static void Serve(std::shared_ptr<IAAService> service) { RegisterServer(std::move(service)); }
    static void Stop() { UnregisterServer(); }

private:
    std::shared_ptr<IServerSession> session_ = std::make_shared<Session>();
};

// The client's sink: counts the users it is told about.
class UserSink : public IUsersAndGroupsNotifications {
public:
    void userChanged(const LocalUser& user) override { seen += user.getId(); }
    long long seen = 0;

    void userListChanged(const LocalUserList&) override {}
    void usersDeleted(const IdList&) override {}
    void cardStatusChanged(CardStatus, const std::string&, const CardUserList&) override {}
    void groupMembershipChanged(int, const IdList&) override {}
    void groupListChanged(const GroupList&) override {}
    void groupChanged(const Group&) override {}
    void groupsDeleted(const IdList&) override {}
    void userLoggedIn(const userlogin::LoggedInUser&) override {}
    void userLoggedOut(const userlogin::LoggedInUser&) override {}
    void authenticationModeChanged(AuthenticationMode) override {}
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

struct EditUserReply : IEditUserReplyHandler {
    void onEditUserResult(EditUserResult result) override { last = result; }
    EditUserResult last = EDITUSERRESULT_USER_NOT_FOUND;
};

bool g_pinned = false;

void PinToOneCpu() {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    if (::sched_setaffinity(0, sizeof set, &set) != 0) {
        std::perror("sched_setaffinity");
        std::exit(2);
    }
}

// A thousand connections need more descriptors than the usual soft limit of 1024.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The resident set of a process, in KiB.
long ResidentKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

std::string MakeTempDir(const char* label) {
    std::string pattern = std::string("/tmp/aai-bench-") + label + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    return pattern;
}

// ---------------------------------------------------------------------------------------------
// The floor: a child that reads `request` bytes and answers `reply` bytes, until end of file.

bool ReadAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

class EchoChild {
public:
    EchoChild(std::size_t request, std::size_t reply)
        : request_(request), reply_(reply), buffer_(std::max(request, reply), 'x') {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            // Only async-signal-safe calls here: the parent may have threads.
            ::close(fds[0]);
            while (ReadAll(fds[1], buffer_.data(), request_) && WriteAll(fds[1], buffer_.data(), reply_)) {
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        fd_ = fds[0];
    }
    ~EchoChild() {
        ::close(fd_);
        ::waitpid(pid_, nullptr, 0);
    }
    void RoundTrip() {
        if (!WriteAll(fd_, buffer_.data(), request_) || !ReadAll(fd_, buffer_.data(), reply_)) {
            throw std::runtime_error("the echo child went away");
        }
    }

private:
    std::size_t request_;
    std::size_t reply_;
    std::vector<char> buffer_;
    pid_t pid_ = -1;
    int fd_ = -1;
};

struct Bytes {
    std::size_t request = 0;
    std::size_t reply = 0;
};

// The bytes one call sends and receives on its socket, averaged over a batch.
template <class Call>
Bytes MeasureBytes(Call call) {
    constexpr int kCalls = 200;
    g_socketSent = 0;
    g_socketReceived = 0;
    g_countSocketBytes = true;
    for (int i = 0; i < kCalls; ++i) call();
    g_countSocketBytes = false;
    Bytes bytes;
    bytes.request = static_cast<std::size_t>((g_socketSent.load() + kCalls / 2) / kCalls);
    bytes.reply = static_cast<std::size_t>((g_socketReceived.load() + kCalls / 2) / kCalls);
    if (bytes.request == 0 || bytes.reply == 0) throw std::runtime_error("no bytes seen on the socket");
    return bytes;
}

// ---------------------------------------------------------------------------------------------

std::shared_ptr<IUsersAndGroupsServer> g_remote;   // over the socket, served by the child
std::shared_ptr<IAAService> g_remoteRoot;
std::shared_ptr<IServerSession> g_remoteSession;
std::shared_ptr<IUsersAndGroupsServer> g_local;    // in-process
std::shared_ptr<IAAService> g_localRoot;
std::shared_ptr<IServerSession> g_localSession;
pid_t g_servicePid = -1;
// Connections opened for the scale benchmark, each with a call made on it, then left idle.
constexpr int kIdleConnections = 999;
std::vector<std::shared_ptr<IUsersAndGroupsServer>> g_idle;
double g_residentKibPerConnection = 0;

std::string g_remoteDir;

void StartServiceChild(const std::string& dir) {
    g_remoteDir = dir;
    ::setenv("ZEL_IPC_DIR", dir.c_str(), 1);
    int ready[2];
    if (::pipe(ready) != 0) throw std::runtime_error("pipe");
    g_servicePid = ::fork();
    if (g_servicePid < 0) throw std::runtime_error("fork");
    if (g_servicePid == 0) {
        // This process has no thread but the main one yet, so the child may start its own.
        ::close(ready[0]);
        if (g_pinned) PinToOneCpu();
        RaiseDescriptorLimit();
        // A thousand connections of one user are what the scale benchmark makes.
        auto limits = GetConnectionLimits();
        limits.maxConnectionsPerUser = 4096;
        SetConnectionLimits(limits);
        auto service = std::make_shared<Service>();
        Service::Serve(service);
        const char ok = 1;
        WriteAll(ready[1], &ok, 1);
        ::close(ready[1]);
        // Serves until the parent ends it, or ends with the parent.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        for (;;) ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char ok = 0;
    if (!ReadAll(ready[0], &ok, 1)) throw std::runtime_error("the service child did not start");
    ::close(ready[0]);
    g_remoteRoot = IAAService::Connect();
    if (!g_remoteRoot) throw std::runtime_error("cannot connect to the service child");
    g_remoteSession = g_remoteRoot->registerClient("bench");
    g_remote = g_remoteSession->getUsersAndGroupsServer();
    if (!g_remote) throw std::runtime_error("no users-and-groups server");
}

void StopServiceChild() {
    g_idle.clear();
    g_remote.reset();
    g_remoteSession.reset();
    g_remoteRoot.reset();
    if (g_servicePid > 0) {
        ::kill(g_servicePid, SIGTERM);
        ::waitpid(g_servicePid, nullptr, 0);
    }
}

void StartLocalService(const std::string& dir) {
    // A directory of its own, so that this process's listener does not meet the child's socket.
    ::setenv("ZEL_IPC_DIR", dir.c_str(), 1);
    Service::Serve(std::make_shared<Service>());
    g_localRoot = IAAService::Connect();
    g_localSession = g_localRoot->registerClient("bench");
    g_local = g_localSession->getUsersAndGroupsServer();
    if (!g_local) throw std::runtime_error("no in-process users-and-groups server");
}

// Counters shared by every benchmark that calls.
void Finish(benchmark::State& state, std::uint64_t allocationsBefore) {
    state.SetItemsProcessed(state.iterations());
    if (state.threads() == 1) {
        const auto allocations = g_allocations.load() - allocationsBefore;
        state.counters["allocs_per_call"] =
            static_cast<double>(allocations) / static_cast<double>(std::max<benchmark::IterationCount>(1, state.iterations()));
    }
}

// editUser with a handler the service never calls (a null reference cannot be sent): a void call
// carrying a LocalUser and nothing back but its completion.
void CallEditUser(benchmark::State& state, IUsersAndGroupsServer& server) {
    const LocalUser user = SampleLocalUser();
    const std::shared_ptr<IEditUserReplyHandler> handler = std::make_shared<EditUserReply>();
    server.editUser(user, handler);  // the handler's first trip registers it with the connection
    const auto before = g_allocations.load();
    for (auto _ : state) server.editUser(user, handler);
    Finish(state, before);
}

// setFlag1(true): a void call whose argument is no reference, beside the one above.
void CallSetFlag(benchmark::State& state, IUsersAndGroupsServer& server) {
    const auto before = g_allocations.load();
    for (auto _ : state) server.setFlag1(true);
    Finish(state, before);
}

void CallCheckPassword(benchmark::State& state, IUsersAndGroupsServer& server) {
    const std::string password = "S3cure!Passw0rd#2024";
    const auto before = g_allocations.load();
    for (auto _ : state) {
        PasswordComplexityErrors errors = server.checkPasswordComplexity(password);
        benchmark::DoNotOptimize(errors);
    }
    Finish(state, before);
}

void CallAddUserWithCallback(benchmark::State& state, IUsersAndGroupsServer& server) {
    const LocalUser user = SampleLocalUser();
    auto reply = std::make_shared<EditUserReply>();
    const std::shared_ptr<IEditUserReplyHandler> handler = reply;
    const auto before = g_allocations.load();
    for (auto _ : state) {
        reply->last = EDITUSERRESULT_USER_NOT_FOUND;
        server.addUser(user, handler);
        if (reply->last != EDITUSERRESULT_SUCCESS) {
            state.SkipWithError("the reply handler was not called back during the call");
            break;
        }
    }
    Finish(state, before);
}

// userChanged with the sample LocalUser, the service calling the client's sink in-process: a void
// call carrying a LocalUser and nothing else, beside the allocations decoding the record alone needs.
void CallSinkWithLocalUser(benchmark::State& state) {
    auto sink = std::make_shared<UserSink>();
    g_local->registerNotifications(sink);
    if (!g_sinkProxy) {
        state.SkipWithError("the service got no sink");
        return;
    }
    const LocalUser user = SampleLocalUser();
    auto encoded = std::make_shared<zel::proglibs::ipc2::ByteStream>();
    LocalUserMarshaller::Encode(encoded, user, nullptr, nullptr);
    constexpr int kDecodes = 1000;
    const auto decodeBefore = g_allocations.load();
    for (int i = 0; i < kDecodes; ++i) {
        encoded->Seek(0);
        LocalUser decoded = LocalUserMarshaller::Decode(encoded, nullptr, nullptr);
        benchmark::DoNotOptimize(decoded);
    }
    const double decodeAllocations = static_cast<double>(g_allocations.load() - decodeBefore) / kDecodes;

    IUsersAndGroupsNotifications& proxy = *g_sinkProxy;
    const auto before = g_allocations.load();
    for (auto _ : state) proxy.userChanged(user);
    Finish(state, before);
    state.counters["record_decode_allocs"] = decodeAllocations;
    if (sink->seen == 0) state.SkipWithError("the sink was not called");
    g_local->unregisterNotifications(sink);
    g_sinkProxy.reset();
}

void CallArgless(benchmark::State& state, IUsersAndGroupsServer& server) {
    const auto before = g_allocations.load();
    for (auto _ : state) {
        bool allowed = server.isAnyUserAllowedToAccessJob();
        benchmark::DoNotOptimize(allowed);
    }
    Finish(state, before);
}


void OpenIdleConnections() {
    if (!g_idle.empty()) return;
    RaiseDescriptorLimit();
    // Connect() prefers a server of this process: the in-process one goes (its open connection
    // stays for the in-process benchmarks), and the child's socket is where Connect() looks.
    Service::Stop();
    ::setenv("ZEL_IPC_DIR", g_remoteDir.c_str(), 1);
    const long before = ResidentKib(g_servicePid);
    for (int i = 0; i < kIdleConnections; ++i) {
        auto root = IAAService::Connect();
        if (!root) throw std::runtime_error("connection " + std::to_string(i + 2) + " to the service child failed");
        auto users = root->registerClient("idle")->getUsersAndGroupsServer();
        users->setFlag1(true);
        g_idle.push_back(std::move(users));
    }
    // Let the service's threads settle (those that ran the calls go back to waiting).
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    g_residentKibPerConnection = static_cast<double>(ResidentKib(g_servicePid) - before) / kIdleConnections;
}

// setFlag1 on the last of a thousand connections to one service.
void CallAmongManyConnections(benchmark::State& state) {
    OpenIdleConnections();
    IUsersAndGroupsServer& server = *g_idle.back();
    const auto before = g_allocations.load();
    for (auto _ : state) server.setFlag1(true);
    Finish(state, before);
    state.counters["service_rss_kib_per_connection"] = g_residentKibPerConnection;
}

// How long after its deadline a caller is let go, when the answer is later than the deadline:
// each call is given kCallersTime, the service takes kSlowCall. The median and the worst of the
// run's calls are its counters, in microseconds.
void CallPastItsDeadline(benchmark::State& state) {
    std::vector<double> lateUs;
    for (auto _ : state) {
        const auto deadline = std::chrono::steady_clock::now() + kCallersTime;
        try {
            zel::proglibs::ipc2::CallDeadline scope(deadline);
            g_remote->getPasswordResetToken(userlogin::UserLoginId("bench", 1));
        } catch (const zel::proglibs::ipc2::DeadlineError&) {
        }
        lateUs.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - deadline).count());
    }
    std::sort(lateUs.begin(), lateUs.end());
    state.counters["lateness_median_us"] = lateUs.empty() ? 0 : lateUs[lateUs.size() / 2];
    state.counters["lateness_worst_us"] = lateUs.empty() ? 0 : lateUs.back();
    // Let the service finish the calls it was given up on before the next benchmark.
    std::this_thread::sleep_for(4 * kSlowCall);
}

void Floor(benchmark::State& state, Bytes bytes, int roundTrips) {
    EchoChild child(bytes.request, bytes.reply);
    for (auto _ : state) {
        for (int i = 0; i < roundTrips; ++i) child.RoundTrip();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["request_bytes"] = static_cast<double>(bytes.request);
    state.counters["reply_bytes"] = static_cast<double>(bytes.reply);
}

void RegisterAll() {
    const LocalUser user = SampleLocalUser();
    auto reply = std::make_shared<EditUserReply>();
    g_remote->editUser(user, reply);
    const Bytes editUser = MeasureBytes([&] { g_remote->editUser(user, reply); });
    const Bytes setFlag = MeasureBytes([&] { g_remote->setFlag1(true); });
    const Bytes checkPassword = MeasureBytes([&] { g_remote->checkPasswordComplexity("S3cure!Passw0rd#2024"); });
    // Two messages each way (the call and its reply, the callback and its reply): the floor is two
    // round trips of half the bytes each.
    Bytes callback = MeasureBytes([&] { g_remote->addUser(user, reply); });
    callback.request = (callback.request + 1) / 2;
    callback.reply = (callback.reply + 1) / 2;

    const auto describe = [](const Bytes& b) {
        return std::to_string(b.request) + " bytes out, " + std::to_string(b.reply) + " back";
    };
    benchmark::AddCustomContext("void_localuser_bytes", describe(editUser));
    benchmark::AddCustomContext("void_bool_bytes", describe(setFlag));
    benchmark::AddCustomContext("check_password_bytes", describe(checkPassword));
    benchmark::AddCustomContext("callback_bytes_per_round_trip", describe(callback));
    benchmark::RegisterBenchmark("floor/void_localuser", Floor, editUser, 1)->UseRealTime();
    benchmark::RegisterBenchmark("call/void_localuser", [](benchmark::State& s) { CallEditUser(s, *g_remote); })
        ->UseRealTime();
    benchmark::RegisterBenchmark("floor/void_bool", Floor, setFlag, 1)->UseRealTime();
    benchmark::RegisterBenchmark("call/void_bool", [](benchmark::State& s) { CallSetFlag(s, *g_remote); })
        ->UseRealTime();
    benchmark::RegisterBenchmark("floor/check_password", Floor, checkPassword, 1)->UseRealTime();
    benchmark::RegisterBenchmark("call/check_password", [](benchmark::State& s) { CallCheckPassword(s, *g_remote); })
        ->UseRealTime();
    benchmark::RegisterBenchmark("floor/callback", Floor, callback, 2)->UseRealTime();
    benchmark::RegisterBenchmark("call/callback", [](benchmark::State& s) { CallAddUserWithCallback(s, *g_remote); })
        ->UseRealTime();
    // Two threads calling at once on the one connection; its floor is floor/void_localuser (calls
    // per raw round trip = items_per_second x that floor's time).
    benchmark::RegisterBenchmark("call2/void_localuser_two_threads",
                                 [](benchmark::State& s) { CallEditUser(s, *g_remote); })
        ->Threads(2)
        ->UseRealTime();
    // A thousand calls, one run: the figures are the distribution within it.
    benchmark::RegisterBenchmark("deadline/lateness", CallPastItsDeadline)->Iterations(1000)->Repetitions(1)->UseRealTime();
    // Last: it leaves a thousand connections open. Its floor is call/void_bool on one connection.
    benchmark::RegisterBenchmark("scale/void_bool_1000_connections", CallAmongManyConnections)->UseRealTime();
    benchmark::RegisterBenchmark("inprocess/argless", [](benchmark::State& s) { CallArgless(s, *g_local); })
        ->UseRealTime();
    benchmark::RegisterBenchmark("inprocess/sink_localuser", CallSinkWithLocalUser)->UseRealTime();
    benchmark::RegisterBenchmark("inprocess/void_localuser", [](benchmark::State& s) { CallEditUser(s, *g_local); })
        ->UseRealTime();
}

}  // namespace

// In-process calls for callgrind (scripts/callgrind.sh): it counts the instructions executed inside
// these functions alone, which a noisy machine does not change.
extern "C" __attribute__((noinline)) void aai_measured_argless(int calls) {
    for (int i = 0; i < calls; ++i) benchmark::DoNotOptimize(g_local->isAnyUserAllowedToAccessJob());
}

extern "C" __attribute__((noinline)) void aai_measured_sink_localuser(int calls, const LocalUser* user) {
    for (int i = 0; i < calls; ++i) g_sinkProxy->userChanged(*user);
}

extern "C" __attribute__((noinline)) void aai_measured_edituser(int calls, const LocalUser* user,
                                                                  const std::shared_ptr<IEditUserReplyHandler>* handler) {
    for (int i = 0; i < calls; ++i) g_local->editUser(*user, *handler);
}

namespace {

// AAI_BENCH_CALLGRIND=<calls>: only the in-process service, each measured function run that often.
int RunForCallgrind(int calls, const std::string& localDir) {
    StartLocalService(localDir);
    const LocalUser user = SampleLocalUser();
    const std::shared_ptr<IEditUserReplyHandler> handler = std::make_shared<EditUserReply>();
    auto sink = std::make_shared<UserSink>();
    g_local->registerNotifications(sink);
    // One call of each first, so that what a first call sets up is not counted.
    aai_measured_argless(1);
    aai_measured_sink_localuser(1, &user);
    aai_measured_edituser(1, &user, &handler);
    aai_measured_argless(calls);
    aai_measured_sink_localuser(calls, &user);
    aai_measured_edituser(calls, &user, &handler);
    g_local->unregisterNotifications(sink);
    g_sinkProxy.reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* pin = std::getenv("AAI_BENCH_PIN"); pin != nullptr && std::strcmp(pin, "1") == 0) {
        g_pinned = true;
        // Before any thread or child exists: every later thread and child inherits the mask.
        PinToOneCpu();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("pinned_to_one_cpu", g_pinned ? "yes" : "no");
    const std::string remoteDir = MakeTempDir("remote");
    const std::string localDir = MakeTempDir("local");
    if (const char* calls = std::getenv("AAI_BENCH_CALLGRIND")) {
        const int status = RunForCallgrind(std::atoi(calls), localDir);
        ::unlink((localDir + "/AAI.sock").c_str());
        ::rmdir(localDir.c_str());
        ::rmdir(remoteDir.c_str());
        return status;
    }
    int status = 0;
    try {
        StartServiceChild(remoteDir);
        StartLocalService(localDir);
        RegisterAll();
        benchmark::RunSpecifiedBenchmarks();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rpc_bench: %s\n", e.what());
        status = 1;
    }
    StopServiceChild();
    benchmark::Shutdown();
    // The listeners' socket files outlive them here: the child is killed, and this process's
    // server stays registered until it exits.
    for (const std::string& dir : {remoteDir, localDir}) {
        ::unlink((dir + "/AAI.sock").c_str());
        ::rmdir(dir.c_str());
    }
    return status;
}
