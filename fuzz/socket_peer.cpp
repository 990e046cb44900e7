// Fuzz target: a client on the Unix socket, as any local process could be one.
//
// The process serves the binding's root (a do-nothing implementation) the way a service does,
// through the binding's own registration, on a socket in a private temporary folder. Each input is
// a sequence of operations on raw client connections (see socket_peer.h): hellos, requests to any
// object and method, answers to the server's own calls (the releases it sends for objects of ours
// it was handed, inside the chain of our request), releases, frames with any header, raw bytes,
// half-closes and reconnects. Every answer the server owes is read with a bounded wait.
//
// After the input the connections are closed, and the server must let go of them: its connection
// threads and sockets go back to what they were before the first input, within a bound far
// above any honest teardown. A connection the server never lets go of (a thread stuck for good, a
// handler kept by a cycle) aborts with a report, so that it becomes a finding rather than a slow
// drift; crashes, sanitizer reports and leaks are findings as usual.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "aai/detail/service.h"
#include "fuzz_setup.h"
#include "fuzz_tables.h"
#include "procfs.h"
#include "socket/socket_file.h"
#include "socket_peer.h"
#include "trace/trace.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace aai_fuzz::peer;

// One wait for the answers the server owes; they normally come within microseconds, so this only
// bounds the inputs that make the server hold them back (all its threads waiting on us).
constexpr auto kAnswerWait = std::chrono::milliseconds(100);
// All the waits of one input together.
constexpr auto kInputWait = std::chrono::milliseconds(500);
// How long the server may take to let go of closed connections before that counts as a hang.
constexpr auto kLetGoBound = std::chrono::seconds(20);
constexpr int kMaxConnections = 4;
// The server runs at most this many requests of one connection at once (socket/service_pool.h).
constexpr long kServerRunners = 4;
constexpr std::size_t kHeaderSize = 20;
// A request flagged with a budget (flag bit 2) has four more header bytes.
constexpr std::uint8_t kBudgetFlag = 0x04;
constexpr std::size_t kBudgetedHeaderSize = kHeaderSize + 4;

std::size_t HeaderSizeOf(const char* h) {
    return static_cast<std::uint8_t>(h[4]) == 1 && (static_cast<std::uint8_t>(h[5]) & kBudgetFlag) != 0
               ? kBudgetedHeaderSize
               : kHeaderSize;
}

enum Kind : std::uint8_t { kRequestFrame = 1, kReplyFrame = 2, kErrorFrame = 3, kHelloFrame = 4, kHelloAckFrame = 5,
             kCancelFrame = 6 };
constexpr std::uint8_t kOverLimitFlag = 0x02;

// Sockets only: the sanitizers' symbolizer keeps pipes of its own open from its first use on. It
// reads a link per descriptor, so the let-go check calls it only when the plain count is above
// what it was at the start.
int CountSockets() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            char target[64];
            const ssize_t k = ::readlinkat(::dirfd(d), e->d_name, target, sizeof target - 1);
            if (k > 0 && std::strncmp(target, "socket:", 7) == 0) ++n;
        }
        ::closedir(d);
    }
    return n;
}

void Le(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

std::uint64_t FromLe(const char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(p[i]);
    return v;
}

// A new connection to the server; the server must always take one.
int Dial(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::fprintf(stderr, "socket_peer: the server does not take connections: %s\n", std::strerror(errno));
        std::abort();
    }
    return fd;
}

// The frame header, written from the documented layout rather than with the transport's own code.
std::string Header(std::uint32_t length, std::uint8_t kind, std::uint8_t flags, std::uint16_t depth,
                   std::uint32_t callId, std::uint64_t chain) {
    std::string h;
    Le(h, length, 4);
    h.push_back(static_cast<char>(kind));
    h.push_back(static_cast<char>(flags));
    Le(h, depth, 2);
    Le(h, callId, 4);
    Le(h, chain, 8);
    return h;
}

// The users object calls back the sink it is given, during the call, so that the client's requests
// can nest inside a call of the server's; everything else does nothing.
class CallingBackUsers final : public aai_fuzz::NullUsersAndGroupsServer {
public:
    void registerNotifications(std::shared_ptr<zel::iface::aai::IUsersAndGroupsNotifications> sink) override {
        if (sink) sink->flag1Changed(true);
    }
};

class CallingBackSession final : public aai_fuzz::NullServerSession {
public:
    std::shared_ptr<zel::iface::aai::IUsersAndGroupsServer> getUsersAndGroupsServer() override {
        return std::make_shared<CallingBackUsers>();
    }
};

// The root, registered as a service registers its own.
class Root final : public aai_fuzz::NullAAService {
public:
    std::shared_ptr<zel::iface::aai::IServerSession> registerClient(const std::string&) override {
        return std::make_shared<CallingBackSession>();
    }
    static void Serve(const aai_fuzz::Brokers& brokers) { RegisterServerUsingBrokers(std::make_shared<Root>(), brokers); }
    static void Unserve() { UnregisterServer(); }
};

// The server, made on the first input and kept for the whole run.
class Server {
public:
    static Server& Get(const aai_fuzz::Brokers& brokers) {
        static Server* const server = new Server(brokers);
        return *server;
    }

    const std::string& Path() const { return path_; }

    // Waits until the server has taken every connection made so far from its queue. It takes them
    // in order, one at a time, so a connection made now and answered (here by the end of its
    // stream, as the server sees no hello on it) comes after all of them. Otherwise a connection
    // the input made and closed at once could still be queued when the let-go check finds nothing
    // left, and be taken while the next input runs, or while the leak check after this one does.
    void WaitTaken(const trace::Capture& capture) const {
        const int fd = Dial(path_);
        ::shutdown(fd, SHUT_WR);
        const auto end = Clock::now() + kLetGoBound;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) Hang(capture, "the server did not take a new connection");
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char b[64];
            const ssize_t n = ::recv(fd, b, sizeof b, MSG_DONTWAIT);
            // The end of its stream: the server has read the end of ours and closed.
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) break;
        }
        ::close(fd);
    }

    // Waits until the server has let go of every connection closed so far; aborts after the bound.
    void WaitLetGo(const trace::Capture& capture) const {
        const auto end = Clock::now() + kLetGoBound;
        for (int round = 0;; ++round) {
            const int threads = procfs::ThreadCount();
            const int sockets = threads > threads_ ? -1 : procfs::FdCount() <= fds_ ? sockets_ : CountSockets();
            if (threads <= threads_ && sockets <= sockets_) return;
            if (Clock::now() > end) {
                char what[160];
                std::snprintf(what, sizeof what,
                              "the server did not let go of its closed connections: %d threads (%d before), "
                              "%d sockets (%d before)",
                              threads, threads_, sockets, sockets_);
                Hang(capture, what);
            }
            // Reading /proc costs more than the server's teardown, so it is not read in a spin:
            // the server's threads get the processor meanwhile.
            std::this_thread::sleep_for(std::chrono::microseconds(round < 100 ? 20 : 200));
        }
    }

private:
    explicit Server(const aai_fuzz::Brokers& brokers) {
        char folder[] = "/tmp/zfz-XXXXXX";
        if (::mkdtemp(folder) == nullptr) Die("cannot make a temporary folder");
        folder_ = folder;
        // Only this process looks there: the socket of the name goes into the private folder.
        ::setenv("ZEL_IPC_DIR", folder_.c_str(), 1);
        Root::Serve(brokers);
        path_ = zel::proglibs::ipc2::socket::DefaultSocketPath(zel::iface::aai::detail::kServerName, false);
        if (::access(path_.c_str(), F_OK) != 0) Die("the server's socket did not appear");
        threads_ = procfs::ThreadCount();
        fds_ = procfs::FdCount();
        sockets_ = CountSockets();
        folderToRemove = folder_;
        std::atexit([] {
            Root::Unserve();
            ::rmdir(folderToRemove.c_str());
        });
    }

    [[noreturn]] static void Die(const char* what) {
        std::fprintf(stderr, "socket_peer: %s\n", what);
        std::abort();
    }

    // A hang is a finding: it aborts with what the server traced meanwhile.
    [[noreturn]] static void Hang(const trace::Capture& capture, const char* what) {
        for (const trace::Record& r : capture.Records())
            std::fprintf(stderr, "  %s: %s\n", r.component.c_str(), r.text.c_str());
        std::fprintf(stderr, "socket_peer: %s (waited %lld s)\n", what,
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kLetGoBound).count()));
        std::abort();
    }

    static inline std::string folderToRemove;
    std::string folder_;
    std::string path_;
    int threads_ = 0;
    int fds_ = 0;
    int sockets_ = 0;
};

// One run of an input: the client's side of its connections.
class Session {
public:
    explicit Session(const std::string& path) : path_(path), waitEnd_(Clock::now() + kInputWait) { Open(); }
    ~Session() { Close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Run(Reader& in) {
        const int op = in.Byte() % kOpCount;
        if (verbose_) std::fprintf(stderr, "socket_peer: op %d\n", op);
        switch (op) {
        case kHello: Hello(in); break;
        case kRequest: Request(in); break;
        case kAnswer: Answer(in); break;
        case kRelease: Release(in); break;
        case kFrame: Frame(in); break;
        case kRaw:
            Send(in.Blob());
            Pump(false);
            break;
        case kHalfClose:
            if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
            sendShut_ = true;
            Pump(true);
            break;
        case kReconnect:
            Close();
            if (connections_ < kMaxConnections) Open();
            break;
        }
    }

private:
    // A call the server made to us and we have not answered.
    struct ServerCall {
        std::uint32_t callId;
        std::uint64_t chain;
        std::uint16_t depth;
    };
    // An answer the server owes us.
    struct Owed {
        std::uint32_t callId;
        std::uint64_t chain;
        std::uint16_t depth;
    };

    void Open() {
        ++connections_;
        const int fd = Dial(path_);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        fd_ = fd;
        eof_ = sendShut_ = false;
        in_.clear();
        owed_.clear();
        serverCalls_.clear();
        headerGot_ = 0;
        payloadLeft_ = 0;
    }

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    void Hello(Reader& in) {
        const std::uint8_t flags = in.Byte();
        const std::uint32_t version = (flags & kHelloVersion) ? static_cast<std::uint32_t>(in.Le(4)) : kWireVersion;
        std::vector<std::string> modules;
        for (int i = 0; i < 3; ++i)
            if (flags & (1 << i)) modules.push_back(zel::iface::aai::detail::kModules[i]);
        if (flags & kHelloUnknownModule) modules.push_back("nobody-serves-this");
        if (flags & kHelloExtraName) modules.push_back(in.Blob());
        std::string p = "zipc";
        Le(p, version, 4);
        Le(p, modules.size(), 4);
        for (const std::string& m : modules) {
            Le(p, m.size(), 4);
            p += m;
        }
        const std::uint32_t callId = ++nextCallId_;
        if (SendFrame(kHelloFrame, callId, 0, 0, p)) owed_.push_back({callId, 0, 0});
        Pump(true);
    }

    void Request(Reader& in) {
        const std::int32_t object = in.Id();
        const std::uint8_t module = in.Byte();
        const std::int32_t method = in.Id();
        const std::uint8_t chainByte = in.Byte();
        const std::string args = in.Blob();
        std::uint64_t chain;
        std::uint16_t depth;
        if ((chainByte & kChainOfServerCall) && !serverCalls_.empty()) {
            const ServerCall& s = serverCalls_[(chainByte & 0x0F) % serverCalls_.size()];
            chain = s.chain;
            depth = static_cast<std::uint16_t>(s.depth + 1);
        } else {
            chain = NewChain();
            depth = (chainByte & kChainDepth) ? chainByte & 0x3F : 1;
        }
        SendRequest(object, module, method, args, chain, depth);
    }

    void Release(Reader& in) {
        const std::int32_t object = in.Id();
        const aai_fuzz::InterfaceEntry& entry = aai_fuzz::kInterfaces[in.Byte() % aai_fuzz::kInterfaceCount];
        std::string args;
        Le(args, in.Byte(), 4);
        SendRequest(object, 0, entry.releaseId, args, NewChain(), 1);
    }

    void SendRequest(std::int32_t object, std::uint8_t module, std::int32_t method, const std::string& args,
                     std::uint64_t chain, std::uint16_t depth) {
        std::string p;
        Le(p, static_cast<std::uint32_t>(object), 4);
        p.push_back(static_cast<char>(module));
        Le(p, static_cast<std::uint32_t>(method), 4);
        p += args;
        const std::uint32_t callId = ++nextCallId_;
        if (SendFrame(kRequestFrame, callId, chain, depth, p)) owed_.push_back({callId, chain, depth});
        Pump(true);
    }

    void Answer(Reader& in) {
        const std::uint8_t which = in.Byte();
        const std::uint8_t how = in.Byte();
        const std::uint8_t kind = (how & 1) ? kErrorFrame : kReplyFrame;
        // An error may say that a limit refused the call, which the server's caller sees as such.
        const std::uint8_t flags = kind == kErrorFrame && (how & 2) ? kOverLimitFlag : 0;
        const std::string payload = in.Blob();
        if (serverCalls_.empty()) {
            // A reply to a call nobody made.
            SendFrame(kind, which, 0, 1, payload, flags);
        } else {
            const auto at = serverCalls_.begin() + which % serverCalls_.size();
            const ServerCall s = *at;
            // Sent inside a frame cut short before, it is not an answer the server sees.
            if (SendFrame(kind, s.callId, s.chain, s.depth, payload, flags)) serverCalls_.erase(at);
        }
        Pump(true);
    }

    void Frame(Reader& in) {
        const std::uint8_t fix = in.Byte();
        std::string h = in.Take(kHeaderSize);
        h.resize(kHeaderSize, '\0');
        const std::string payload = in.Blob();
        if (fix & 1) {
            std::string length;
            Le(length, payload.size(), 4);
            h.replace(0, 4, length);
        }
        if (fix & 2) h[5] = 0;
        const bool whole = AtBoundary();
        const bool sent = Send(h + payload);
        const std::uint8_t kind = static_cast<std::uint8_t>(h[4]);
        // A well-formed request or hello is answered, whatever its ids.
        if (whole && sent && h[5] == 0 && FromLe(h.data(), 4) == payload.size() &&
            (kind == kRequestFrame || kind == kHelloFrame)) {
            owed_.push_back({static_cast<std::uint32_t>(FromLe(h.data() + 8, 4)), FromLe(h.data() + 12, 8),
                             static_cast<std::uint16_t>(FromLe(h.data() + 6, 2))});
        }
        Pump(true);
    }

    std::uint64_t NewChain() { return ++nextChain_ << 1; }  // bit 0 clear: a chain the client started

    // True when the frame was sent whole and began at a frame boundary (so the server reads it as
    // the frame it is).
    bool SendFrame(std::uint8_t kind, std::uint32_t callId, std::uint64_t chain, std::uint16_t depth,
                   const std::string& payload, std::uint8_t flags = 0) {
        const bool whole = AtBoundary();
        const bool sent =
            Send(Header(static_cast<std::uint32_t>(payload.size()), kind, flags, depth, callId, chain) + payload);
        return whole && sent;
    }

    // Sends everything, reading what arrives meanwhile so that neither side can block the other.
    bool Send(const std::string& bytes) {
        Track(bytes);
        if (fd_ < 0 || sendShut_ || bytes.empty()) return fd_ >= 0 && !sendShut_;
        std::size_t done = 0;
        const auto end = Clock::now() + kAnswerWait;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && Clock::now() < end) {
                pollfd p{fd_, POLLIN | POLLOUT, 0};
                if (::poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) ReadSome();
                continue;
            }
            return false;  // the server is gone, or stopped reading
        }
        return true;
    }

    // Follows the frames of what we send, to know whether the next frame starts where the server
    // expects one.
    void Track(const std::string& bytes) {
        std::size_t i = 0;
        while (i < bytes.size()) {
            if (payloadLeft_ != 0) {
                const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(payloadLeft_, bytes.size() - i));
                payloadLeft_ -= take;
                i += take;
                continue;
            }
            head_[headerGot_++] = bytes[i++];
            if (headerGot_ >= kHeaderSize && headerGot_ == HeaderSizeOf(head_)) {
                headerGot_ = 0;
                payloadLeft_ = FromLe(head_, 4);
            }
        }
    }
    bool AtBoundary() const { return headerGot_ == 0 && payloadLeft_ == 0; }

    // Whether the server owes an answer it can give now. Not one to a request of ours that waits
    // for our answer to a call the server made inside it; and while every thread the server runs
    // a connection's requests on is held that way, only callbacks (requests inside the chain of
    // one of its calls, run by the thread that waits in it) can be answered.
    bool Owing() const {
        auto held = [&](const Owed& o) {
            return std::any_of(serverCalls_.begin(), serverCalls_.end(),
                               [&](const ServerCall& s) { return s.chain == o.chain && s.depth > o.depth; });
        };
        auto callback = [&](const Owed& o) {
            return std::any_of(serverCalls_.begin(), serverCalls_.end(),
                               [&](const ServerCall& s) { return s.chain == o.chain && s.depth < o.depth; });
        };
        const auto heldCount = std::count_if(owed_.begin(), owed_.end(), held);
        for (const Owed& o : owed_) {
            if (held(o)) continue;
            if (callback(o) || heldCount < kServerRunners) return true;
        }
        return false;
    }

    // Reads what the server sends; with `wait`, until it owes nothing it can give (or closes, or the
    // bounds pass).
    void Pump(bool wait) {
        const auto end = std::min(Clock::now() + kAnswerWait, waitEnd_);
        for (;;) {
            Parse();
            if (fd_ < 0 || eof_) return;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (!wait || !Owing() || left <= 0) {
                ReadSome();
                Parse();
                if (verbose_ && wait && left <= 0 && !eof_ && Owing())
                    std::fprintf(stderr, "socket_peer:   (stopped waiting for %zu owed answers)\n", owed_.size());
                return;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) > 0) ReadSome();
        }
    }

    // Reads what is there without waiting.
    void ReadSome() {
        char b[16 * 1024];
        for (;;) {
            const ssize_t n = ::recv(fd_, b, sizeof b, MSG_DONTWAIT);
            if (n > 0) {
                in_.append(b, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                eof_ = true;
                if (verbose_) std::fprintf(stderr, "socket_peer:   <- end of stream\n");
            }
            return;
        }
    }

    void Parse() {
        std::size_t at = 0;
        while (in_.size() - at >= kHeaderSize) {
            const char* h = in_.data() + at;
            const std::size_t headerSize = HeaderSizeOf(h);
            if (in_.size() - at < headerSize) break;
            const std::uint64_t length = FromLe(h, 4);
            if (in_.size() - at - headerSize < length) break;
            const std::uint8_t kind = static_cast<std::uint8_t>(h[4]);
            const auto callId = static_cast<std::uint32_t>(FromLe(h + 8, 4));
            const std::uint64_t chain = FromLe(h + 12, 8);
            const auto depth = static_cast<std::uint16_t>(FromLe(h + 6, 2));
            if (verbose_)
                std::fprintf(stderr, "socket_peer:   <- kind %u call %u chain %llu depth %u, %llu bytes\n", kind, callId,
                             static_cast<unsigned long long>(chain), depth, static_cast<unsigned long long>(length));
            if (kind == kRequestFrame) {
                // A one-way request (a release of one of our objects) owes no answer.
                if ((static_cast<std::uint8_t>(h[5]) & 1) == 0) serverCalls_.push_back({callId, chain, depth});
            } else if (kind != kCancelFrame) {  // a cancel names a call of the server's
                const auto it = std::find_if(owed_.begin(), owed_.end(), [&](const Owed& o) { return o.callId == callId; });
                if (it != owed_.end()) owed_.erase(it);
            }
            at += headerSize + static_cast<std::size_t>(length);
        }
        in_.erase(0, at);
    }

    // AAI_FUZZ_VERBOSE=1 shows the operations and what the server sent (for reading a finding).
    const bool verbose_ = std::getenv("AAI_FUZZ_VERBOSE") != nullptr;
    const std::string& path_;
    const Clock::time_point waitEnd_;
    int connections_ = 0;
    int fd_ = -1;
    bool eof_ = false;
    bool sendShut_ = false;
    std::string in_;
    std::vector<Owed> owed_;
    std::vector<ServerCall> serverCalls_;
    std::uint32_t nextCallId_ = 0;
    std::uint64_t nextChain_ = 0;
    char head_[kBudgetedHeaderSize] = {};
    std::size_t headerGot_ = 0;
    std::uint64_t payloadLeft_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    aai_fuzz::Setup& setup = aai_fuzz::Setup::Get();
    const Server& server = Server::Get(setup.brokers);
    {
        Session session(server.Path());
        Reader in(data, size);
        while (!in.AtEnd()) session.Run(in);
    }
    server.WaitTaken(setup.capture);
    server.WaitLetGo(setup.capture);
    setup.capture.Clear();
    return 0;
}
