#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "ipc2/errors.h"
#include "channel.h"
#include "frame.h"
#include "transport.h"
#include "trace/trace.h"

namespace zel::proglibs::ipc2::socket {

namespace {

constexpr auto kConnectTimeout = std::chrono::seconds(5);
// Connections that have not said hello yet, each holding a thread: beyond this, new ones are
// dropped at once, so that a flood of silent peers cannot exhaust the process.
constexpr int kMaxHandshakes = 64;

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const noexcept { return fd_; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool MakeAddress(const std::string& path, sockaddr_un& a) {
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof a.sun_path) return false;
    std::memcpy(a.sun_path, path.data(), path.size());
    return true;
}

void Trace(int level, const char* function, int line, const std::string& text) {
    if (!trace_enabled(level)) return;
    dus_trc_log(__FILE__, line, function, "ipc2", dus_trc_msg("socket listener: %s", text.c_str()));
}

[[noreturn]] void ThrowServe(const std::string& path, const std::string& what) {
    throw ConnectError("cannot serve on " + path + ": " + what);
}

// Connects a stream socket. A server that stopped accepting (stopped, or hung) leaves its backlog
// full, where a blocking connect would wait for good: the socket connects without blocking, and a
// full backlog is tried again until the deadline. Returns 0 or an errno value (ETIMEDOUT: the
// backlog stayed full).
int ConnectBefore(int fd, const sockaddr_un& a, std::chrono::steady_clock::time_point deadline) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
    int error;
    for (auto pause = std::chrono::milliseconds(1);;) {
        error = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : errno;
        if (error == EINTR) continue;
        if (error != EAGAIN) break;
        if (std::chrono::steady_clock::now() + pause > deadline) {
            error = ETIMEDOUT;
            break;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    if (error == 0 && ::fcntl(fd, F_SETFL, flags) != 0) error = errno;
    return error;
}

// Whether a server answers on the socket file. Throws when that cannot be told.
bool Answers(const std::string& path) {
    sockaddr_un a;
    MakeAddress(path, a);
    // Without blocking, or a full backlog would hold us here.
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (probe.get() < 0) ThrowServe(path, "socket: " + ErrnoText(errno));
    int r;
    do {
        r = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return true;
    // A full backlog is a live server too.
    if (errno == EAGAIN) return true;
    if (errno == ECONNREFUSED || errno == ENOENT) return false;
    ThrowServe(path, "cannot tell whether a server answers there: " + ErrnoText(errno));
}

// Refuses a file that is not a socket or that a live server answers on; true when one is there.
bool CheckExisting(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return false;
        ThrowServe(path, ErrnoText(errno));
    }
    if (!S_ISSOCK(st.st_mode)) ThrowServe(path, "the file exists and is not a socket");
    if (Answers(path)) ThrowServe(path, "a live server already answers there");
    return true;
}

std::string DirectoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

struct Listener::Core : std::enable_shared_from_this<Listener::Core> {
    ServerConfig config;
    ServerHooks hooks;
    int fd = -1;
    int wake[2] = {-1, -1};
    dev_t dev = 0;
    ino_t ino = 0;
    std::thread acceptThread;

    std::mutex mu;
    std::condition_variable cv;
    bool stopped = false;
    std::unordered_map<Channel*, std::weak_ptr<Channel>> handshaking;
    int busy = 0;  // handshakes not finished, `connected` included

    ~Core() {
        if (fd >= 0) ::close(fd);
        if (wake[0] >= 0) ::close(wake[0]);
        if (wake[1] >= 0) ::close(wake[1]);
    }

    void Bind();
    void AcceptLoop();
    void Admit(int cfd);
    bool Handshake(Channel& c);
    void Stop();
};

namespace {
// The listener whose `connected` hook this thread is running: its destruction must not wait for
// this very handshake.
thread_local const Listener::Core* tlsInConnected = nullptr;
}  // namespace

void Listener::Core::Bind() {
    const std::string& path = config.path;
    sockaddr_un a;
    if (!MakeAddress(path, a)) ThrowServe(path, path.empty() ? "no path" : "the path is too long for a Unix socket");
    CheckExisting(path);

    UniqueFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (s.get() < 0) ThrowServe(path, "socket: " + ErrnoText(errno));

    // Bound under a private name and given its permissions first, then linked into place: no client
    // ever finds the socket with the default permissions, and link() never replaces a file that
    // appeared meanwhile.
    static std::atomic<unsigned> counter{0};
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, "/.zel-ipc.%ld.%u.tmp", static_cast<long>(::getpid()), ++counter);
    std::string tmp = DirectoryOf(path) + suffix;
    sockaddr_un t;
    const bool viaTmp = MakeAddress(tmp, t);
    if (!viaTmp) {
        tmp.clear();
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) ThrowServe(path, "removing the stale socket: " + ErrnoText(errno));
        t = a;
    }
    const std::string bound = viaTmp ? tmp : path;
    if (viaTmp) ::unlink(tmp.c_str());
    if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&t), sizeof t) != 0) ThrowServe(path, "bind: " + ErrnoText(errno));
    struct RemoveTmp {
        const std::string& tmp;
        ~RemoveTmp() {
            if (!tmp.empty()) ::unlink(tmp.c_str());
        }
    } removeTmp{tmp};
    struct RemoveDirect {
        const std::string& path;
        bool armed;
        ~RemoveDirect() {
            if (armed) ::unlink(path.c_str());
        }
    } removeDirect{path, !viaTmp};
    if (::chmod(bound.c_str(), config.mode) != 0) ThrowServe(path, "chmod: " + ErrnoText(errno));
    if (config.group != static_cast<gid_t>(-1) && ::chown(bound.c_str(), static_cast<uid_t>(-1), config.group) != 0) {
        ThrowServe(path, "chgrp: " + ErrnoText(errno));
    }
    if (::listen(s.get(), 128) != 0) ThrowServe(path, "listen: " + ErrnoText(errno));
    if (viaTmp) {
        for (int attempt = 0;; ++attempt) {
            if (::link(tmp.c_str(), path.c_str()) == 0) break;
            const int e = errno;
            if (e == EEXIST && attempt < 3) {
                // A file is there: a stale one (its server died) is replaced, a live one never.
                CheckExisting(path);
                if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
                    ThrowServe(path, "removing the stale socket: " + ErrnoText(errno));
                }
                continue;
            }
            if (e == EPERM || e == ENOTSUP || e == EOPNOTSUPP) {
                // No hard links here: a rename is the next best (it can replace a racing newcomer).
                CheckExisting(path);
                if (::rename(tmp.c_str(), path.c_str()) != 0) ThrowServe(path, "rename: " + ErrnoText(errno));
                break;
            }
            ThrowServe(path, "link: " + ErrnoText(e));
        }
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) ThrowServe(path, "stat: " + ErrnoText(errno));
    dev = st.st_dev;
    ino = st.st_ino;
    removeDirect.armed = false;
    fd = s.release();
}

void Listener::Core::AcceptLoop() {
    // Out of descriptors or memory: the loop pauses rather than spins, and stays stoppable. It
    // never gives up while the socket file is there, or clients would queue up on a backlog
    // nobody takes from.
    auto pause = [this](const char* what, int e) {
        Trace(1, "AcceptLoop", __LINE__, std::string(what) + " failed: " + ErrnoText(e));
        pollfd w{wake[0], POLLIN, 0};
        return ::poll(&w, 1, 100) <= 0;
    };
    pollfd p[2] = {{fd, POLLIN, 0}, {wake[0], POLLIN, 0}};
    for (;;) {
        p[0].revents = p[1].revents = 0;
        if (::poll(p, 2, -1) < 0) {
            const int e = errno;
            if (e == EINTR || pause("poll", e)) continue;
            return;
        }
        if (p[1].revents != 0) return;
        if (p[0].revents == 0) continue;
        int cfd = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (cfd < 0) {
            const int e = errno;
            if (e == EINTR || e == EAGAIN || e == EWOULDBLOCK || e == ECONNABORTED || pause("accept", e)) continue;
            return;
        }
        try {
            Admit(cfd);
        } catch (const std::exception& e) {
            // Admit has let go of the connection; only the report is left.
            Trace(1, __func__, __LINE__, std::string("cannot take a connection: ") + e.what());
        }
    }
}

void Listener::Core::Admit(int cfd) {
    {
        std::lock_guard<std::mutex> lk(mu);
        if (stopped || busy >= kMaxHandshakes) {
            ::close(cfd);
            if (!stopped) Trace(1, __func__, __LINE__, "too many connections in their handshake; one dropped");
            return;
        }
        ++busy;
    }
    auto done = [this] {
        std::lock_guard<std::mutex> lk(mu);
        --busy;
        cv.notify_all();
    };
    std::shared_ptr<Channel> ch;
    try {
        ch = std::make_shared<Channel>(cfd, ChannelOptions{true, config.limits, hooks.receiver, hooks.disconnected});
    } catch (...) {
        ::close(cfd);
        done();
        throw;
    }
    // The channel owns the descriptor now; once started, the handshake's thread calls done().
    Channel* raw = ch.get();
    auto forget = [&] {
        {
            std::lock_guard<std::mutex> lk(mu);
            handshaking.erase(raw);
        }
        done();
    };
    try {
        {
            std::lock_guard<std::mutex> lk(mu);
            handshaking.emplace(raw, ch);
        }
        auto self = shared_from_this();
        if (ch->Start([self, raw] { return self->Handshake(*raw); })) return;
    } catch (...) {
        forget();
        throw;
    }
    forget();
}

bool Listener::Core::Handshake(Channel& c) {
    struct Finish {
        Core& core;
        Channel& c;
        ~Finish() {
            std::lock_guard<std::mutex> lk(core.mu);
            core.handshaking.erase(&c);
            --core.busy;
            core.cv.notify_all();
        }
    } finish{*this, c};

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(config.handshakeTimeoutMs);
    FrameHeader h;
    std::vector<unsigned char> payload;
    std::string why;
    HandshakeStatus st;
    {
        FdUse use(c.Fd());
        if (use.fd() < 0) return false;
        st = ReadHandshakeFrame(use.fd(), deadline, h, payload, why);
    }
    if (st != HandshakeStatus::Ok) {
        // A peer that connects and leaves without a word (someone checking whether we are alive)
        // is no fault.
        c.Shutdown("handshake: " + why, st != HandshakeStatus::Closed);
        return false;
    }
    auto refuse = [&](const std::string& reason) {
        // The client reads no handshake frame past its limit: a longer reason (a hook's exception
        // text) is cut rather than lost.
        const std::size_t size = std::min(reason.size(), kMaxHandshakeSize);
        c.WriteFrame(FrameKind::Error, h.callId, 0, 0, reason.data(), size);
        c.Shutdown("handshake refused: " + reason, true);
        return false;
    };
    if (h.kind != static_cast<std::uint8_t>(FrameKind::Hello)) {
        return refuse("expected a hello frame, got kind " + std::to_string(h.kind));
    }
    Hello hello;
    if (!DecodeHello(payload.data(), payload.size(), hello, why)) return refuse("bad hello: " + why);
    if (hello.version != kProtocolVersion) {
        return refuse("protocol version " + std::to_string(hello.version) + " is not supported (this server speaks " +
                      std::to_string(kProtocolVersion) + ")");
    }
    if (!config.modules.empty()) {
        for (const auto& m : hello.modules) {
            if (std::find(config.modules.begin(), config.modules.end(), m) == config.modules.end()) {
                return refuse("module '" + m + "' is not served here");
            }
        }
    }
    // Both sides number modules by the server's list (or the client's when the server serves any).
    const std::vector<std::string>& agreed = config.modules.empty() ? hello.modules : config.modules;
    {
        std::lock_guard<std::mutex> lk(mu);
        if (stopped) {
            c.Shutdown("the listener stopped during the handshake", false);
            return false;
        }
        // From here on the connection is open: the listener's end no longer cuts it off.
        handshaking.erase(&c);
    }
    auto handler = std::make_shared<SocketConnection>(agreed, true, c.shared_from_this());
    c.Attach(handler);
    // The hook runs before the client hears yes: a hook that refuses the client (the name is no
    // longer served) makes the client's Connect fail with the reason, rather than succeed and lose
    // the connection at its first call. No request is read before it returns.
    if (hooks.connected) {
        c.MarkReported(true);
        std::string failure;
        tlsInConnected = this;
        try {
            hooks.connected(handler);
        } catch (const std::exception& e) {
            failure = e.what();
            if (failure.empty()) failure = "the server refused the connection";
        } catch (...) {
            failure = "the server refused the connection";
        }
        tlsInConnected = nullptr;
        if (!failure.empty()) {
            // Not connected, so not disconnected either.
            c.MarkReported(false);
            return refuse(failure);
        }
    } else {
        c.MarkReported(true);
    }
    const std::string checksum = hooks.checksum ? hooks.checksum() : config.checksum;
    const auto ack = EncodeHelloAck(HelloAck{kProtocolVersion, checksum, agreed});
    if (!c.WriteFrame(FrameKind::HelloAck, h.callId, 0, 0, ack.data(), ack.size())) return false;
    return c.IsOpen();
}

void Listener::Core::Stop() {
    if (wake[1] >= 0) {
        const char b = 1;
        while (::write(wake[1], &b, 1) < 0 && errno == EINTR) {
        }
    }
    if (acceptThread.joinable()) acceptThread.join();
    // The connections we accepted keep this state alive (their first thread ran our handshake):
    // give back the descriptors now. Connections still queued in the backlog are refused with it.
    for (int* d : {&fd, &wake[0], &wake[1]}) {
        if (*d >= 0) ::close(*d);
        *d = -1;
    }
    std::vector<std::shared_ptr<Channel>> cut;
    {
        std::lock_guard<std::mutex> lk(mu);
        stopped = true;
        for (auto& entry : handshaking) {
            if (auto ch = entry.second.lock()) cut.push_back(std::move(ch));
        }
    }
    for (auto& ch : cut) ch->Shutdown("the listener stopped during the handshake", false);
    cut.clear();
    {
        std::unique_lock<std::mutex> lk(mu);
        const int own = tlsInConnected == this ? 1 : 0;
        cv.wait(lk, [&] { return busy <= own; });
    }
    struct stat st;
    if (::lstat(config.path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino) ::unlink(config.path.c_str());
}

Listener::Listener(std::shared_ptr<Core> core) : core_(std::move(core)) {}

Listener::~Listener() { core_->Stop(); }

const std::string& Listener::Path() const { return core_->config.path; }

std::unique_ptr<Listener> Listener::Start(ServerConfig config, ServerHooks hooks) {
    auto core = std::make_shared<Core>();
    core->config = std::move(config);
    core->hooks = std::move(hooks);
    core->Bind();
    auto unpublish = [&] {
        struct stat st;
        if (::lstat(core->config.path.c_str(), &st) == 0 && st.st_dev == core->dev && st.st_ino == core->ino) {
            ::unlink(core->config.path.c_str());
        }
    };
    if (::pipe2(core->wake, O_CLOEXEC) != 0) {
        const int e = errno;
        unpublish();
        ThrowServe(core->config.path, "pipe: " + ErrnoText(e));
    }
    try {
        core->acceptThread = std::thread([c = core.get()] { c->AcceptLoop(); });
    } catch (const std::exception& e) {
        unpublish();
        ThrowServe(core->config.path, std::string("cannot start the accepting thread: ") + e.what());
    }
    return std::unique_ptr<Listener>(new Listener(std::move(core)));
}

std::shared_ptr<ConnectionHandler> Connect(const std::string& path, const std::vector<std::string>& modules,
                                           std::weak_ptr<IReceiver> receiver, const Limits& limits,
                                           ServerInfo* server) {
    auto fail = [&](const std::string& what) { return ConnectError("cannot connect to " + path + ": " + what); };
    sockaddr_un a;
    if (!MakeAddress(path, a)) throw fail(path.empty() ? "no path" : "the path is too long for a Unix socket");
    UniqueFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.get() < 0) throw fail("socket: " + ErrnoText(errno));
    // Connecting and the handshake together take at most this long.
    const auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
    if (const int e = ConnectBefore(s.get(), a, deadline)) {
        throw fail(e == ETIMEDOUT ? "the server did not accept the connection within 5 s" : ErrnoText(e));
    }

    const auto hello = EncodeHello(Hello{kProtocolVersion, modules});
    if (hello.size() > kMaxHandshakeSize) throw fail("the module list is too long");
    std::string why;
    if (!WriteFrameTo(s.get(), FrameKind::Hello, 1, 0, 0, hello.data(), hello.size(), why)) throw fail(why);
    FrameHeader h;
    std::vector<unsigned char> payload;
    const HandshakeStatus st = ReadHandshakeFrame(s.get(), deadline, h, payload, why);
    if (st == HandshakeStatus::Timeout) throw fail("the server did not answer the handshake within 5 s");
    if (st != HandshakeStatus::Ok) throw fail("handshake: " + why);
    if (h.kind == static_cast<std::uint8_t>(FrameKind::Error)) {
        throw fail("the server refused the connection: " + std::string(payload.begin(), payload.end()));
    }
    if (h.kind != static_cast<std::uint8_t>(FrameKind::HelloAck)) {
        throw fail("the server answered the hello with a frame of kind " + std::to_string(h.kind));
    }
    HelloAck ack;
    if (!DecodeHelloAck(payload.data(), payload.size(), ack, why)) throw fail("bad hello-ack: " + why);
    if (ack.version != kProtocolVersion) {
        throw fail("the server speaks protocol version " + std::to_string(ack.version) + ", this client " +
                   std::to_string(kProtocolVersion));
    }
    auto channel = std::make_shared<Channel>(s.get(), ChannelOptions{false, limits, std::move(receiver), {}});
    s.release();  // the channel's now
    auto handler = std::make_shared<SocketConnection>(ack.modules, false, channel);
    channel->Attach(handler);
    if (!channel->Start({})) throw fail("cannot start the connection's thread");
    if (server) *server = ServerInfo{ack.version, std::move(ack.checksum), std::move(ack.modules)};
    return handler;
}

std::string DefaultSocketPath(const std::string& serverName) {
    if (serverName.empty() || serverName.find('/') != std::string::npos || serverName == "." || serverName == "..") {
        throw ConnectError("'" + serverName + "' cannot name a server's socket");
    }
    const uid_t uid = ::getuid();
    // ZEL_IPC_DIR moves the sockets elsewhere; "%p" in it stands for this process's id, so that
    // processes that must not see each other's servers (parallel tests) each get a directory.
    const char* env = std::getenv("ZEL_IPC_DIR");
    const bool chosen = env != nullptr && *env != '\0';
    std::string dir = chosen ? env : "/tmp/zel-ipc-" + std::to_string(uid);
    if (chosen) {
        for (std::size_t at = dir.find("%p"); at != std::string::npos; at = dir.find("%p", at)) {
            const std::string pid = std::to_string(::getpid());
            dir.replace(at, 2, pid);
            at += pid.size();
        }
    }
    if (::mkdir(dir.c_str(), 0700) == 0) {
        ::chmod(dir.c_str(), 0700);  // whatever the umask
    } else if (errno != EEXIST) {
        throw ConnectError("cannot create " + dir + ": " + ErrnoText(errno));
    }
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) throw ConnectError("cannot use " + dir + ": " + ErrnoText(errno));
    if (!S_ISDIR(st.st_mode)) throw ConnectError("cannot use " + dir + ": it is not a directory");
    // The shared /tmp default could have been made first by another user, to see or take our
    // sockets. A chosen directory may well be shared on purpose (a socket's group and mode only
    // matter to others if they can reach it), so only the default must be ours alone.
    if (!chosen) {
        if (::lstat(dir.c_str(), &st) != 0) throw ConnectError("cannot use " + dir + ": " + ErrnoText(errno));
        if (!S_ISDIR(st.st_mode) || st.st_uid != uid || (st.st_mode & 077) != 0) {
            throw ConnectError("cannot use " + dir + ": it is not a private directory of this user");
        }
    }
    return dir + "/" + serverName + ".sock";
}

}  // namespace zel::proglibs::ipc2::socket
