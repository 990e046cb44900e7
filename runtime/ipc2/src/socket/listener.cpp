#include "listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <thread>
#include <unordered_map>

#include "../sync.h"
#include "channel.h"
#include "ipc2/errors.h"
#include "trace/trace.h"

namespace zel::proglibs::ipc2::socket {

namespace {

// Connections that have not said hello yet, each holding a thread: beyond these, new ones are
// refused at once. Per user, so that a user's silent connections lock out only that user.
constexpr int kMaxHandshakes = 64;
constexpr int kMaxHandshakesPerUser = 8;

uid_t PeerUser(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return static_cast<uid_t>(-1);
    return cred.uid;
}

// Tells a client why it is not served, as the handshake would, without a thread or a wait: the
// frame fits the empty socket's buffer, or is dropped.
void RefuseAtTheDoor(int fd, const std::string& reason) {
    FrameHeader h;
    h.kind = FrameKind::Error;
    h.callId = 1;  // the hello's
    h.length = static_cast<std::uint32_t>(reason.size());
    unsigned char head[FrameHeader::kMaxSize];
    h.Encode(head);
    std::string frame(reinterpret_cast<const char*>(head), h.Size());
    frame += reason;
    const ssize_t sent = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)sent;
}

void Trace(int level, const char* function, int line, const std::string& text) {
    if (!trace_enabled(level)) return;
    dus_trc_log(__FILE__, line, function, "ipc2", dus_trc_msg("socket listener: %s", text.c_str()));
}

}  // namespace

struct Listener::Core : std::enable_shared_from_this<Listener::Core> {
    Core(Options o, Admit a) : options(std::move(o)), admit(std::move(a)) {}

    void AcceptLoop();
    bool PauseAfter(const char* what, int error);
    // Out of descriptors: the one in reserve lets a client in to be told so.
    void AcceptToRefuse();
    void Take(UniqueFd fd);
    // Why a new connection of `user` is not taken; empty when it is (and then it is counted).
    std::string Admission(uid_t user) ZEL_REQUIRES(mu);
    void HandshakeEnded(uid_t user) ZEL_REQUIRES(mu);
    void ConnectionEnded(uid_t user);
    bool Handshake(Channel& c, uid_t user);
    // Leaves the handshaking connections; false (the connection ended) when the listener stopped.
    bool Open(Channel& c);
    void Stop();

    const Options options;
    const Admit admit;
    std::unique_ptr<SocketFile> file;
    UniqueFd wakeRead;
    UniqueFd wakeWrite;
    UniqueFd reserve;  // /dev/null, closed for a moment when accept finds no descriptor left
    std::thread acceptThread;

    // Nothing else is locked with it held: channels are ended after it is let go.
    Mutex mu;
    std::condition_variable changed;
    bool stopped ZEL_GUARDED_BY(mu) = false;
    std::unordered_map<Channel*, std::weak_ptr<Channel>> handshaking ZEL_GUARDED_BY(mu);
    int busy ZEL_GUARDED_BY(mu) = 0;  // handshakes not finished, admission included
    std::unordered_map<uid_t, int> busyOf ZEL_GUARDED_BY(mu);         // the same, per user
    std::unordered_map<uid_t, int> connectionsOf ZEL_GUARDED_BY(mu);  // open, handshakes included
};

namespace {
// The listener whose admission this thread is running: its end must not wait for this very
// handshake.
thread_local const Listener::Core* tlsAdmitting = nullptr;

// Frees a handshake's slot however the handshake ends.
class HandshakeSlot {
public:
    HandshakeSlot(Listener::Core& core, Channel& c, uid_t user) : core_(core), c_(c), user_(user) {}
    ~HandshakeSlot() { Free(); }
    void Free() {
        if (freed_) return;
        freed_ = true;
        MutexLock lock(core_.mu);
        core_.handshaking.erase(&c_);
        core_.HandshakeEnded(user_);
    }
    HandshakeSlot(const HandshakeSlot&) = delete;
    HandshakeSlot& operator=(const HandshakeSlot&) = delete;

private:
    Listener::Core& core_;
    Channel& c_;
    const uid_t user_;
    bool freed_ = false;
};
}  // namespace

bool Listener::Core::PauseAfter(const char* what, int error) {
    // Out of descriptors or memory: the loop pauses rather than spins, and stays stoppable.
    Trace(1, "AcceptLoop", __LINE__, std::string(what) + " failed: " + ErrnoText(error));
    pollfd w{wakeRead.get(), POLLIN, 0};
    return ::poll(&w, 1, 100) <= 0;
}

void Listener::Core::AcceptLoop() {
    // It never gives up while the socket file is there, or clients would queue up on a backlog
    // nobody takes from.
    pollfd p[2] = {{file->Fd(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
    for (;;) {
        p[0].revents = p[1].revents = 0;
        if (::poll(p, 2, -1) < 0) {
            const int e = errno;
            if (e == EINTR || PauseAfter("poll", e)) continue;
            return;
        }
        if (p[1].revents != 0) return;
        if (p[0].revents == 0) continue;
        UniqueFd fd(::accept4(file->Fd(), nullptr, nullptr, SOCK_CLOEXEC));
        if (fd.get() < 0) {
            const int e = errno;
            if (e == EINTR || e == EAGAIN || e == EWOULDBLOCK || e == ECONNABORTED) continue;
            if ((e == EMFILE || e == ENFILE) && reserve.get() >= 0) {
                AcceptToRefuse();
                continue;
            }
            if (PauseAfter("accept", e)) continue;
            return;
        }
        try {
            Take(std::move(fd));
        } catch (const std::exception& e) {
            // Take has let go of the connection; only the report is left.
            Trace(1, __func__, __LINE__, std::string("cannot take a connection: ") + e.what());
        }
    }
}

void Listener::Core::AcceptToRefuse() {
    reserve = UniqueFd();
    UniqueFd fd(::accept4(file->Fd(), nullptr, nullptr, SOCK_CLOEXEC));
    if (fd.get() >= 0) {
        RefuseAtTheDoor(fd.get(), "the service has no descriptor left for another connection");
        Trace(1, "AcceptLoop", __LINE__, "out of descriptors: a connection was refused");
    }
    fd = UniqueFd();
    reserve = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    // Until a descriptor is free again, every new client is refused the same way; a pause keeps
    // that from spinning.
    PauseAfter("accept", EMFILE);
}

std::string Listener::Core::Admission(uid_t user) {
    if (stopped) return "the service is stopping";
    int& connections = connectionsOf[user];
    int& handshakes = busyOf[user];
    std::string why;
    if (connections >= options.maxConnectionsPerUser) {
        why = "uid " + std::to_string(user) + " has " + std::to_string(connections) +
              " connections open, the most this service allows one user";
    } else if (handshakes >= kMaxHandshakesPerUser) {
        why = "uid " + std::to_string(user) + " has " + std::to_string(handshakes) + " connections in their handshake";
    } else if (busy >= kMaxHandshakes) {
        why = "too many connections are in their handshake";
    }
    if (!why.empty()) {
        if (connections == 0) connectionsOf.erase(user);
        if (handshakes == 0) busyOf.erase(user);
        return why;
    }
    ++connections;
    ++handshakes;
    ++busy;
    return {};
}

void Listener::Core::HandshakeEnded(uid_t user) {
    --busy;
    if (--busyOf[user] <= 0) busyOf.erase(user);
    changed.notify_all();
}

void Listener::Core::ConnectionEnded(uid_t user) {
    MutexLock lock(mu);
    if (--connectionsOf[user] <= 0) connectionsOf.erase(user);
}

void Listener::Core::Take(UniqueFd fd) {
    const uid_t user = PeerUser(fd.get());
    {
        MutexLock lock(mu);
        const std::string why = Admission(user);
        if (!why.empty()) {
            lock.Unlock();
            RefuseAtTheDoor(fd.get(), why);
            Trace(1, __func__, __LINE__, "connection refused: " + why);
            return;
        }
    }
    std::shared_ptr<Channel> channel;
    Channel* raw = nullptr;
    auto self = shared_from_this();
    std::weak_ptr<Core> weak = self;
    auto undo = [&] {
        MutexLock lock(mu);
        if (raw != nullptr) handshaking.erase(raw);
        HandshakeEnded(user);
        lock.Unlock();
        ConnectionEnded(user);
    };
    try {
        channel = std::make_shared<Channel>(std::move(fd), true);
        raw = channel.get();
        // The listener may be gone by the time a connection ends: it only counts while it lives.
        channel->WhenEnded([weak, user] {
            if (auto core = weak.lock()) core->ConnectionEnded(user);
        });
        MutexLock lock(mu);
        handshaking.emplace(raw, channel);
    } catch (...) {
        undo();
        throw;
    }
    // Once started, the handshake's thread frees the slot, and the connection's end its count.
    if (channel->Start([self, raw, user] { return self->Handshake(*raw, user); })) return;
    channel->WhenEnded({});
    undo();
}

bool Listener::Core::Handshake(Channel& c, uid_t user) {
    HandshakeSlot slot(*this, c, user);
    const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.handshakeTimeoutMs);
    Hello hello;
    std::uint32_t callId = 0;
    if (!ReadHello(c, deadline, hello, callId) || !Open(c)) return false;
    // The place is given back once the client is admitted, before it hears so: a client that
    // connects again at once must not find its own last handshake still counted.
    const Admit admitted = [&](const Hello& h, Channel& channel) {
        Admitted answer = admit(h, channel);
        slot.Free();
        return answer;
    };
    tlsAdmitting = this;
    const bool serve = AnswerHello(c, callId, hello, admitted);
    tlsAdmitting = nullptr;
    return serve;
}

bool Listener::Core::Open(Channel& c) {
    MutexLock lock(mu);
    if (stopped) {
        lock.Unlock();
        c.Fail("the listener stopped during the handshake", false);
        return false;
    }
    // From here on the connection is open: the listener's end no longer cuts it off.
    handshaking.erase(&c);
    return true;
}

void Listener::Core::Stop() {
    if (wakeWrite.get() >= 0) {
        const char b = 1;
        while (::write(wakeWrite.get(), &b, 1) < 0 && errno == EINTR) {
        }
    }
    if (acceptThread.joinable()) acceptThread.join();
    // The connections we accepted keep this state alive (their first thread runs our handshake):
    // give back the descriptors now. Connections still in the backlog are refused with them.
    file->CloseListening();
    wakeRead = UniqueFd();
    wakeWrite = UniqueFd();
    std::vector<std::shared_ptr<Channel>> cut;
    {
        MutexLock lock(mu);
        stopped = true;
        for (auto& entry : handshaking) {
            if (auto c = entry.second.lock()) cut.push_back(std::move(c));
        }
    }
    for (auto& c : cut) c->Fail("the listener stopped during the handshake", false);
    cut.clear();
    {
        MutexLock lock(mu);
        const int own = tlsAdmitting == this ? 1 : 0;
        while (busy > own) mu.Wait(changed);
    }
    file->Unpublish();
}

std::unique_ptr<Listener> Listener::Start(Options options, Admit admit) {
    auto core = std::make_shared<Core>(std::move(options), std::move(admit));
    const std::string& path = core->options.file.path;
    core->file = SocketFile::Publish(core->options.file);
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) throw ConnectError("cannot serve on " + path + ": pipe: " + ErrnoText(errno));
    core->wakeRead = UniqueFd(wake[0]);
    core->wakeWrite = UniqueFd(wake[1]);
    core->reserve = UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    try {
        core->acceptThread = std::thread([c = core.get()] { c->AcceptLoop(); });
    } catch (const std::exception& e) {
        throw ConnectError("cannot serve on " + path + ": cannot start the accepting thread: " + e.what());
    }
    return std::unique_ptr<Listener>(new Listener(std::move(core)));
}

Listener::~Listener() { core_->Stop(); }

const std::string& Listener::Path() const { return core_->options.file.path; }

}  // namespace zel::proglibs::ipc2::socket
