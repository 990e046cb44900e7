// Connecting: the handshake in both directions, the socket file, the peer's credentials.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "server.h"

namespace sockettest {
namespace {

// A user id with no account, for tests that need a process or a file of another user.
constexpr uid_t kOtherUser = 54321;

// Whether this process may act as kOtherUser: root, and allowed to switch (a user namespace may
// map no such id).
bool CanActAsAnotherUser() {
    if (::getuid() != 0) return false;
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) ::_exit(::setgid(kOtherUser) == 0 && ::setuid(kOtherUser) == 0 ? 0 : 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}


TEST(SocketHandshake, ConnectAgreesOnModulesAndCarriesCalls) {
    ServerConfig config;
    config.modules = {"aai", "userlogin"};
    config.checksum = "c0ffee";
    TestServer server(config);
    ServerInfo info;
    auto client = Connect(server.Path(), {"userlogin"}, {}, {}, &info);

    EXPECT_FALSE(client->IsServer());
    EXPECT_TRUE(client->IsConnected());
    EXPECT_EQ(info.version, kWireVersion);
    EXPECT_EQ(info.checksum, "c0ffee");
    EXPECT_EQ(info.modules, config.modules);
    // Both sides number modules the same way, by the server's list.
    auto serverSide = server.Handler();
    ASSERT_NE(serverSide, nullptr);
    EXPECT_TRUE(serverSide->IsServer());
    EXPECT_EQ(client->GetModuleId("userlogin"), 1);
    EXPECT_EQ(serverSide->GetModuleId("userlogin"), 1);

    EXPECT_EQ(Text(client->Send(Request(0, kEcho, "hello"), true)), "hello");
    EXPECT_EQ(Text(client->Send(Request(0, kEcho, ""), true)), "");

    client->Close();
    EXPECT_FALSE(client->IsConnected());
    EXPECT_EQ(client->Send(Request(0, kEcho, "late"), true), nullptr);
    EXPECT_TRUE(WaitUntil([&] { return server.disconnects.load() == 1; }));
    EXPECT_FALSE(serverSide->IsConnected());
}

TEST(SocketHandshake, ClientFailsWithConnectErrorWhenTheServerIsAbsentOrRefuses) {
    TempDir dir;
    const std::string path = dir.File("none.sock");
    std::string m = ThrownMessage<ipc2::ConnectError>([&] { Connect(path, {}, {}, {}); });
    EXPECT_TRUE(Contains(m, path));
    EXPECT_TRUE(Contains(m, "No such file or directory"));

    // A socket file nobody listens on any more.
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::close(fd);
    }
    m = ThrownMessage<ipc2::ConnectError>([&] { Connect(path, {}, {}, {}); });
    EXPECT_TRUE(Contains(m, path));
    EXPECT_TRUE(Contains(m, "Connection refused"));

    ServerConfig config;
    config.modules = {"aai"};
    TestServer server(config);
    m = ThrownMessage<ipc2::ConnectError>([&] { Connect(server.Path(), {"aai", "printing"}, {}, {}); });
    EXPECT_TRUE(Contains(m, "module 'printing' is not served here"));
    EXPECT_EQ(server.connects.load(), 0);

    // The server's own hook refuses: the client hears why, and no loss is reported for it.
    std::atomic<bool> refusing{true};
    std::string reason = "not taking clients now";
    server.OnConnected([&](const std::shared_ptr<ipc2::RegistryConnectionHandler>&) {
        if (refusing) throw std::runtime_error(reason);
    });
    m = ThrownMessage<ipc2::ConnectError>([&] { Connect(server.Path(), {"aai"}, {}, {}); });
    EXPECT_TRUE(Contains(m, "refused the connection: not taking clients now"));
    // A reason longer than a handshake frame may be reaches the client cut short, not lost.
    reason = "at length: " + std::string(100 * 1024, 'r');
    m = ThrownMessage<ipc2::ConnectError>([&] { Connect(server.Path(), {"aai"}, {}, {}); });
    EXPECT_TRUE(Contains(m, "refused the connection: at length: rrrr")) << m.substr(0, 200);
    refusing = false;
    auto client = Connect(server.Path(), {"aai"}, {}, {});
    EXPECT_EQ(Text(client->Send(Request(0, kEcho, "taken"), true)), "taken");
    client->Close();
    EXPECT_TRUE(WaitUntil([&] { return server.disconnects.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(server.disconnects.load(), 1);
}

TEST(SocketHandshake, AServerThatStoppedAcceptingHoldsNobodyForGood) {
    // A listening socket whose owner never accepts (a stopped or hung service), its backlog full.
    TempDir dir;
    const std::string path = dir.File("stuck.sock");
    const int listening = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listening, 0), 0);
    std::vector<int> queued;
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ASSERT_EQ(errno, EAGAIN);
            ::close(fd);
            break;
        }
        queued.push_back(fd);
        ASSERT_LT(queued.size(), 100u);
    }
    // A client gives up after its connect timeout, with the reason.
    const std::string m = ThrownMessage<ipc2::ConnectError>([&] { Connect(path, {}, {}, {}); });
    EXPECT_TRUE(Contains(m, "did not accept the connection within 5 s")) << m;
    // A new server takes the full backlog for a live server, and says so at once.
    ServerConfig config;
    config.path = path;
    EXPECT_TRUE(Contains(ThrownMessage<ipc2::ConnectError>([&] { Listen(config, nullptr); }),
                         "a live server already answers there"));
    for (int fd : queued) ::close(fd);
    ::close(listening);
}

TEST(SocketHandshake, ClientFailsWithConnectErrorOnABrokenHandshake) {
    struct Case {
        const char* name;
        std::string answer;  // what the fake server writes after the hello, then it closes
        const char* expected;
    };
    const Case cases[] = {
        {"error frame", RawFrame(3, 1, 0, 0, "not today"), "refused the connection: not today"},
        {"silence then close", "", "closed the connection during the handshake"},
        {"half a header", RawFrame(5, 1, 0, 0, "").substr(0, 7), "inside a handshake frame"},
        {"unknown kind", RawFrame(0x77, 1, 0, 0, "x"), "unknown frame kind 119"},
        {"oversize ack", RawFrame(5, 1, 0, 0, "", 0, 1u << 20), "exceeds the limit"},
        {"reply instead of ack", RawFrame(2, 1, 0, 0, ""), "frame of kind 2"},
        {"truncated ack", RawFrame(5, 1, 0, 0, "zipc\x01"), "bad hello-ack"},
        {"ack of another runtime", RawFrame(5, 1, 0, 0, "http/1.1 200"), "bad hello-ack"},
        {"checksum longer than the ack", RawFrame(5, 1, 0, 0, std::string("zipc\x01\0\0\0\xff\xff\0\0", 12)),
         "bad hello-ack"},
        {"other version", RawHelloAck(7, "sum", {}), "protocol version 7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.File("fake.sock");
        std::string m;
        {
            FakeServer fake(path, [&](RawPeer& peer) { peer.Send(c.answer); });
            m = ThrownMessage<ipc2::ConnectError>([&] { Connect(path, {"aai"}, {}, {}); });
        }
        EXPECT_TRUE(Contains(m, path));
        EXPECT_TRUE(Contains(m, c.expected));
    }
}

TEST(SocketHandshake, ServerAnswersABadHelloWithAReasonAndCloses) {
    struct Case {
        const char* name;
        std::string hello;
        const char* reason;  // in the error frame; null: closed without one
    };
    const Case cases[] = {
        {"old version", RawHello(0, {"aai"}), "protocol version 0 is not supported"},
        {"no magic", RawFrame(4, 1, 0, 0, "hello there"), "bad hello: not a hello of this runtime"},
        {"module count beyond the payload", RawFrame(4, 1, 0, 0, std::string("zipc\x01\0\0\0\x40\x42\x0f\0", 12)),
         "bad hello: module count 1000000"},
        {"name longer than the payload", RawFrame(4, 1, 0, 0, std::string("zipc\x01\0\0\0\x01\0\0\0\xff\0\0\0ab", 18)),
         "bad hello: module name of 255 bytes"},
        {"trailing bytes", RawFrame(4, 1, 0, 0, std::string("zipc\x01\0\0\0\0\0\0\0!", 13)), "1 unexpected bytes"},
        {"unknown module", RawHello(kWireVersion, {"printing"}), "module 'printing' is not served here"},
        {"request before hello", RawRequest(1, 2, 1, 0, kEcho, "x"), "expected a hello frame, got kind 1"},
        {"oversize hello", RawFrame(4, 1, 0, 0, "", 0, 1u << 20), nullptr},
        {"unknown kind", RawFrame(9, 1, 0, 0, ""), nullptr},
    };
    ServerConfig config;
    config.modules = {"aai"};
    TestServer server(config);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto peer = RawPeer::Dial(server.Path());
        ASSERT_NE(peer, nullptr);
        ASSERT_TRUE(peer->Send(c.hello));
        if (c.reason != nullptr) {
            RawHeader h;
            std::string payload;
            ASSERT_TRUE(peer->ReadFrame(h, payload));
            EXPECT_EQ(h.kind, 3);
            EXPECT_TRUE(Contains(payload, c.reason));
        }
        EXPECT_TRUE(peer->WaitClosed());
    }
    EXPECT_EQ(server.connects.load(), 0);
    auto client = Connect(server.Path(), {"aai"}, {}, {});
    EXPECT_EQ(Text(client->Send(Request(0, kEcho, "still serving"), true)), "still serving");
}

TEST(SocketHandshake, SilentPeerHoldsNothingForLong) {
    ServerConfig config;
    config.handshakeTimeoutMs = 200;
    TestServer server(config);
    auto silent = RawPeer::Dial(server.Path());
    ASSERT_NE(silent, nullptr);
    // Others are served meanwhile.
    auto client = server.Connect();
    EXPECT_EQ(Text(client->Send(Request(0, kEcho, "meanwhile"), true)), "meanwhile");
    EXPECT_TRUE(silent->WaitClosed());
}

// What one user's processes may hold of a service: a few handshakes in progress and a number of
// open connections. The next one of that user is told why at once, never left waiting, and a
// connection that ends gives its place back.
TEST(SocketHandshake, OneUsersConnectionsAreCappedAndTheNextIsToldWhy) {
    ServerConfig config;
    config.maxConnectionsPerUser = 12;
    TestServer server(config);
    std::vector<std::unique_ptr<RawPeer>> silent;
    for (int i = 0; i < 8; ++i) {
        silent.push_back(RawPeer::Dial(server.Path()));
        ASSERT_NE(silent.back(), nullptr);
    }
    auto refused = [&] {
        return ThrownMessage<ipc2::ConnectError>([&] { server.Connect(); });
    };
    const std::string uid = "uid " + std::to_string(::getuid());
    EXPECT_TRUE(Contains(refused(), uid + " has 8 connections in their handshake")) << refused();
    silent.pop_back();
    // A connection answered a moment ago may still hold its handshake's place.
    std::vector<std::shared_ptr<ConnectionHandler>> open;
    auto connect = [&] {
        return WaitUntil([&] {
            try {
                open.push_back(server.Connect());
                return true;
            } catch (const ipc2::ConnectError&) {
                return false;
            }
        });
    };
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(connect()) << i;
    EXPECT_TRUE(Contains(refused(), uid + " has 12 connections open, the most this service allows one user")) << refused();
    open.back()->Close();
    open.pop_back();
    EXPECT_TRUE(WaitUntil([&] { return refused().empty(); }));
}

// Another user's silent connections, as many as its cap, lock out only that user: ours is served
// at once. Needs root to connect as another user.
TEST(SocketHandshake, AnotherUsersSilentConnectionsLockOutOnlyThatUser) {
    if (!CanActAsAnotherUser()) GTEST_SKIP() << "needs root, allowed to switch to uid " << kOtherUser;
    constexpr uid_t kOther = kOtherUser;
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    ServerConfig config;
    config.path = dir.File("s.sock");
    config.mode = 0666;
    TestServer server(config);
    int report[2];
    int go[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Holds eight silent connections, then says whether a ninth was refused with a reason.
        ::close(report[0]);
        ::close(go[1]);
        if (::setgid(kOther) != 0 || ::setuid(kOther) != 0) ::_exit(2);
        std::vector<std::unique_ptr<RawPeer>> held;
        for (int i = 0; i < 8; ++i) held.push_back(RawPeer::Dial(config.path));
        auto ninth = RawPeer::Dial(config.path);
        RawHeader h;
        std::string why;
        const bool told = ninth && ninth->Send(RawHello(kWireVersion, {})) && ninth->ReadFrame(h, why) && h.kind == 3;
        const char said = told && why.find("uid 54321 has 8 connections in their handshake") != std::string::npos ? 'y' : 'n';
        if (::write(report[1], &said, 1) != 1) ::_exit(3);
        char wait;
        if (::read(go[0], &wait, 1) < 0) ::_exit(4);
        ::_exit(0);
    }
    ::close(report[1]);
    ::close(go[0]);
    char said = 0;
    ASSERT_EQ(::read(report[0], &said, 1), 1);
    EXPECT_EQ(said, 'y');
    auto client = server.Connect();
    EXPECT_EQ(Text(client->Send(Request(0, kEcho, "served"), true)), "served");
    ::close(go[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(report[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(SocketHandshake, ListenerEndDropsPendingHandshakesWithoutWaitingForTheirTimeout) {
    ServerConfig config;
    config.handshakeTimeoutMs = 60000;
    TestServer server(config);
    auto silent = RawPeer::Dial(server.Path());
    ASSERT_NE(silent, nullptr);
    // The listener has taken the connection in once a normal client behind it is served.
    auto client = server.Connect();
    ASSERT_NE(client->Send(Request(0, kEcho, "x"), true), nullptr);

    const int fds = FdCount();
    const auto start = std::chrono::steady_clock::now();
    server.listener.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(silent->WaitClosed());
    // The listening socket, its wake-up pipe and the dropped connection are given back, although
    // the open connection still refers to the listener's state.
    EXPECT_TRUE(WaitUntil([&] { return FdCount() <= fds - 4; })) << FdCount() << " descriptors, were " << fds;
    EXPECT_EQ(Text(client->Send(Request(0, kEcho, "open connections stay"), true)), "open connections stay");
}

TEST(SocketHandshake, BothSidesKnowTheirPeer) {
    TestServer server;
    auto client = server.Connect();
    auto serverSide = server.Handler();
    ASSERT_NE(serverSide, nullptr);
    for (const ipc2::PeerCredentials& c : {serverSide->GetPeerCredentials(), client->GetPeerCredentials()}) {
        EXPECT_EQ(c.pid, ::getpid());
        EXPECT_EQ(c.uid, ::getuid());
        EXPECT_EQ(c.gid, ::getgid());
    }
}

// ---- the socket file

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

ino_t InodeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A server of another user, listening where ours was expected (a shared directory), answers the
// hello of a client that trusts it. One that did not expect that user sends it nothing at all.
// Needs root to run a process as another user.
TEST(SocketHandshake, AClientSendsNothingToAServerOfAnotherUser) {
    if (!CanActAsAnotherUser()) GTEST_SKIP() << "needs root, allowed to switch to uid " << kOtherUser;
    constexpr uid_t kOther = kOtherUser;
    TempDir dir;
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    const std::string path = dir.File("planted.sock");
    for (const bool trusted : {false, true}) {
        SCOPED_TRACE(trusted ? "the client expects that user" : "the client expects its own");
        int ready[2];
        int report[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(report), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Serves one connection as the other user: answers the hello, counts what arrives.
            if (::setgid(kOther) != 0 || ::setuid(kOther) != 0) ::_exit(2);
            ::unlink(path.c_str());
            const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
            if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 1) != 0) ::_exit(3);
            ::chmod(path.c_str(), 0666);
            if (::write(ready[1], "r", 1) != 1) ::_exit(4);
            const int c = ::accept(s, nullptr, nullptr);
            const std::string ack = RawHelloAck(kWireVersion, "", {});
            long received = 0;
            char b[4096];
            for (ssize_t n; (n = ::recv(c, b, sizeof b, 0)) > 0;) {
                if (received == 0 && ::send(c, ack.data(), ack.size(), MSG_NOSIGNAL) < 0) break;
                received += n;
            }
            const std::string said = std::to_string(received);
            if (::write(report[1], said.data(), said.size()) < 0) ::_exit(5);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(report[1]);
        char r;
        ASSERT_EQ(::read(ready[0], &r, 1), 1);
        detail::ClientSide client{"test", {}, "", {}, nullptr};
        if (trusted) client.serverUser = kOther;
        std::string error;
        try {
            detail::ConnectSocket(path, client)->Close();
        } catch (const ipc2::ConnectError& e) {
            error = e.what();
        }
        char said[32] = {};
        ASSERT_GE(::read(report[0], said, sizeof said - 1), 1);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(ready[0]);
        ::close(report[0]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        if (trusted) {
            EXPECT_EQ(error, "");
            EXPECT_GT(std::atol(said), 0);
        } else {
            EXPECT_TRUE(Contains(error, "the server runs as uid 54321, not as root (uid 0)")) << error;
            EXPECT_STREQ(said, "0") << "bytes reached the other user's server";
        }
    }
}

TEST(SocketFile, OwnerOnlyUnlessConfigured) {
    {
        TestServer server;
        EXPECT_TRUE(S_ISSOCK(ModeOf(server.Path())));
        EXPECT_EQ(ModeOf(server.Path()) & 07777, 0600u);
    }
    {
        // Whatever the umask says.
        const mode_t old = ::umask(0);
        ServerConfig config;
        TestServer server(config);
        ::umask(old);
        EXPECT_EQ(ModeOf(server.Path()) & 07777, 0600u);
    }
    ServerConfig config;
    config.mode = 0660;
    config.group = ::getgid();
    TestServer server(config);
    struct stat st;
    ASSERT_EQ(::lstat(server.Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_gid, ::getgid());
    // No temporary names are left beside it.
    EXPECT_EQ(CountEntries(server.Dir().Path().c_str()), 1);
}

TEST(SocketFile, StaleFileIsReplacedLiveServerIsNot) {
    TempDir dir;
    const std::string path = dir.File("s.sock");
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::close(fd);  // its server died without removing the file
    }
    const ino_t stale = InodeOf(path);
    ServerConfig config;
    config.path = path;
    TestServer first(config);
    EXPECT_NE(InodeOf(path), stale);
    auto client = first.Connect();
    EXPECT_EQ(Text(client->Send(Request(0, kEcho, "first"), true)), "first");

    const ino_t live = InodeOf(path);
    std::string m = ThrownMessage<ipc2::ConnectError>([&] { TestServer second(config); });
    EXPECT_TRUE(Contains(m, path));
    EXPECT_TRUE(Contains(m, "a live server already answers there"));
    EXPECT_EQ(InodeOf(path), live);
    auto again = first.Connect();
    EXPECT_EQ(Text(again->Send(Request(0, kEcho, "still first"), true)), "still first");
}

TEST(SocketFile, SomethingElseAtThePathIsLeftAlone) {
    TempDir dir;
    const std::string path = dir.File("s.sock");
    std::ofstream(path) << "precious";
    ServerConfig config;
    config.path = path;
    std::string m = ThrownMessage<ipc2::ConnectError>([&] { TestServer server(config); });
    EXPECT_TRUE(Contains(m, "not a socket"));
    std::ifstream in(path);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "precious");

    config.path = dir.File(std::string(120, 'x'));
    m = ThrownMessage<ipc2::ConnectError>([&] { TestServer server(config); });
    EXPECT_TRUE(Contains(m, "too long"));
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(d);
    }
    return names;
}

// A service serves only where nobody else can replace its socket: a directory of its own user or
// root's, written by nobody else unless sticky (/tmp), and no link made by someone else.
TEST(SocketFile, ADirectoryOthersCouldReplaceTheSocketInIsRefused) {
    const bool root = CanActAsAnotherUser();
    constexpr uid_t kOther = kOtherUser;
    struct Case {
        const char* name;
        mode_t mode;
        bool otherOwns;  // needs root
        bool viaOthersLink;  // the socket's directory is a link another user made (needs root)
        const char* refusal;  // empty: served
    };
    const Case cases[] = {
        {"private", 0700, false, false, ""},
        {"readable by all", 0755, false, false, ""},
        {"shared and sticky", 01777, false, false, ""},
        {"group-writable", 0770, false, false, "may be written by others and is not sticky"},
        {"world-writable", 0777, false, false, "(mode 0777) may be written by others and is not sticky"},
        {"another user's", 0755, true, false, "belongs to uid 54321, neither us nor root"},
        {"a link of another user's", 0700, false, true, "is a symbolic link of uid 54321"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if ((c.otherOwns || c.viaOthersLink) && !root) continue;
        TempDir dir;
        const std::string served = dir.File("d");
        ASSERT_EQ(::mkdir(served.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(served.c_str(), c.mode), 0);
        if (c.otherOwns) {
            ASSERT_EQ(::chown(served.c_str(), kOther, kOther), 0);
        }
        std::string at = served;
        if (c.viaOthersLink) {
            at = dir.File("link");
            ASSERT_EQ(::symlink(served.c_str(), at.c_str()), 0);
            ASSERT_EQ(::lchown(at.c_str(), kOther, kOther), 0);
        }
        ServerConfig config;
        config.path = at + "/s.sock";
        std::vector<std::string> entries;
        const std::string m = ThrownMessage<ipc2::ConnectError>([&] {
            TestServer server(config);
            entries = Entries(served);
        });
        if (*c.refusal == '\0') {
            EXPECT_EQ(m, "") << m;
            // Made in a private directory of its own, which is gone once the socket is in place.
            EXPECT_EQ(entries, std::vector<std::string>{"s.sock"});
        } else {
            EXPECT_TRUE(Contains(m, c.refusal)) << m;
        }
        ::unlink((served + "/s.sock").c_str());
        if (c.viaOthersLink) ::unlink(at.c_str());
        ::rmdir(served.c_str());
    }
}

TEST(SocketFile, RemovedAtTheEndOnlyWhileItIsStillOurs) {
    TempDir dir;
    ServerConfig config;
    config.path = dir.File("s.sock");
    auto first = std::make_unique<TestServer>(config);
    first->listener.reset();
    EXPECT_EQ(ModeOf(config.path), 0u);

    first = std::make_unique<TestServer>(config);
    // Someone removed our file and another server took the name.
    ASSERT_EQ(::unlink(config.path.c_str()), 0);
    TestServer second(config);
    first.reset();
    EXPECT_TRUE(S_ISSOCK(ModeOf(config.path)));
    auto client = second.Connect();
    EXPECT_EQ(Text(client->Send(Request(0, kEcho, "second"), true)), "second");
}

TEST(SocketFile, DefaultPathIsPerUserOrWhereTheEnvironmentSays) {
    const char* saved = std::getenv("ZEL_IPC_DIR");
    const std::string keep = saved ? saved : "";
    TempDir chosen;
    struct stat st;

    // "%p" gives each process a directory of its own, made on demand.
    ::setenv("ZEL_IPC_DIR", (chosen.Path() + "/%p").c_str(), 1);
    const std::string own = chosen.Path() + "/" + std::to_string(::getpid());
    EXPECT_EQ(sock::DefaultSocketPath("aai", true), own + "/aai.sock");
    ASSERT_EQ(::lstat(own.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ::rmdir(own.c_str());

    // A chosen directory may be shared on purpose: a socket's group and mode only matter to
    // others who can reach it.
    ASSERT_EQ(::chmod(chosen.Path().c_str(), 0755), 0);
    ::setenv("ZEL_IPC_DIR", chosen.Path().c_str(), 1);
    EXPECT_EQ(sock::DefaultSocketPath("aai", true), chosen.Path() + "/aai.sock");
    ::setenv("ZEL_IPC_DIR", (chosen.Path() + "/missing/deeper").c_str(), 1);
    EXPECT_THROW(sock::DefaultSocketPath("aai", true), ipc2::ConnectError);

    // A client only looks: nothing is created for it.
    ::setenv("ZEL_IPC_DIR", (chosen.Path() + "/not-yet").c_str(), 1);
    EXPECT_EQ(sock::DefaultSocketPath("aai", false), chosen.Path() + "/not-yet/aai.sock");
    EXPECT_NE(::lstat((chosen.Path() + "/not-yet").c_str(), &st), 0);

    // Without a choice: the user's runtime directory when there is one, else one of ours in /tmp.
    ::unsetenv("ZEL_IPC_DIR");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string keepRuntime = runtime ? runtime : "";
    ::setenv("XDG_RUNTIME_DIR", chosen.Path().c_str(), 1);
    EXPECT_EQ(sock::DefaultSocketPath("aai", true), chosen.Path() + "/zel-ipc/aai.sock");
    ::unsetenv("XDG_RUNTIME_DIR");
    const std::string dir = "/tmp/zel-ipc-" + std::to_string(::getuid());
    EXPECT_EQ(sock::DefaultSocketPath("aai", true), dir + "/aai.sock");
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::getuid());
    if (runtime) ::setenv("XDG_RUNTIME_DIR", keepRuntime.c_str(), 1);
    for (const char* bad : {"", "a/b", "..", "."}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(sock::DefaultSocketPath(bad, true), ipc2::ConnectError);
    }
    if (saved) ::setenv("ZEL_IPC_DIR", keep.c_str(), 1);
}

}  // namespace
}  // namespace sockettest
