// The other process of the fault and cycle tests. It is started by the test with two pipes: it
// reads commands from the first and writes events to the second, one line each.
//
//   process_peer service <dir> <commands> <events>
//       Serves the chain's service, reached through a relay on <dir>/AAI.sock that can fault the
//       connection towards the test (the test is the client).
//   process_peer client <dir> <commands> <events> <depth>
//       Connects, through a relay that can fault the connection towards the test, to the service
//       on <dir>/AAI.sock, and starts a chain stopping at <depth> and a parked call (the test is
//       the service).
//   process_peer cycle <dir> <commands> <events>
//       Serves on <dir>/AAI.sock directly and answers "stats" with what it holds; "quit" ends it.
//
// The relay forwards whole frames only, so a fault always starts at a frame boundary. Its faults,
// each answered by "done <fault>": close (the socket towards the test is closed), halfclose
// (shutdown SHUT_WR), trunc-stall (a frame's header and part of its payload, then nothing more),
// trunc-close (the same, then closed), garbage (a frame of an unknown kind, then nothing more).
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "peer.h"
#include "socket/frame.h"

namespace {

namespace aai = zel::iface::aai;
namespace frame = zel::proglibs::ipc2::socket;
using namespace std::chrono_literals;

int Listen(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ::unlink(path.c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        std::perror(("process_peer: listen on " + path).c_str());
        std::_Exit(2);
    }
    return fd;
}

int Dial(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror(("process_peer: connect to " + path).c_str());
        std::_Exit(2);
    }
    return fd;
}

bool SendAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string Header(frame::FrameKind kind, std::uint32_t length, std::uint8_t rawKind = 0) {
    frame::FrameHeader h;
    h.length = length;
    h.kind = rawKind != 0 ? static_cast<frame::FrameKind>(rawKind) : kind;
    h.depth = 1;
    h.callId = 7;
    h.chain = 2;
    unsigned char out[frame::FrameHeader::kSize];
    h.Encode(out);
    return std::string(reinterpret_cast<char*>(out), sizeof out);
}

// One connection, accepted on `listenPath` and continued to `targetPath`. Runs on the thread that
// calls Run, which also reads the commands: one thread owns every descriptor, so a fault never
// races with a frame being forwarded.
class Relay {
public:
    Relay(std::string listenPath, std::string targetPath, bool testIsAccepted, int commands, int events)
        : listen_(Listen(listenPath)), target_(std::move(targetPath)), testIsAccepted_(testIsAccepted),
          commandFd_(commands), commands_(commands), events_(events) {}

    void Run() {
        int accepted = -1;
        while (accepted < 0) {
            accepted = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted < 0 && errno != EINTR) std::_Exit(2);
        }
        const int dialled = Dial(target_);
        fd_[kTest] = testIsAccepted_ ? accepted : dialled;
        fd_[kInner] = testIsAccepted_ ? dialled : accepted;
        char chunk[16384];
        for (;;) {
            pollfd p[3] = {{fd_[kTest], POLLIN, 0}, {fd_[kInner], POLLIN, 0}, {commandFd_, POLLIN, 0}};
            if (::poll(p, 3, -1) < 0) {
                if (errno == EINTR) continue;
                std::_Exit(2);
            }
            for (int side = 0; side < 2; ++side) {
                if (fd_[side] < 0 || p[side].revents == 0) continue;
                const ssize_t n = ::recv(fd_[side], chunk, sizeof chunk, 0);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    Lost(side);
                    continue;
                }
                buffer_[side].append(chunk, static_cast<std::size_t>(n));
                Forward(side);
            }
            if (p[2].revents != 0) {
                std::string command;
                if (!commands_.Next(command, 0ms)) {
                    if (p[2].revents & (POLLHUP | POLLERR)) std::_Exit(0);  // the test is gone
                    continue;
                }
                Fault(command);
                peer::WriteLine(events_, "done " + command);
            }
        }
    }

private:
    enum { kTest = 0, kInner = 1 };

    // Sends on the frames of `side` that have arrived whole.
    void Forward(int side) {
        std::string& b = buffer_[side];
        while (b.size() >= frame::FrameHeader::kSize) {
            const auto h = frame::FrameHeader::Decode(reinterpret_cast<const unsigned char*>(b.data()));
            const std::size_t size = h.Size() + h.length;
            if (b.size() < size) break;
            const int to = fd_[1 - side];
            const bool open = side == kTest || towardTest_;
            if (to >= 0 && open && !SendAll(to, b.data(), size)) Lost(1 - side);
            b.erase(0, size);
        }
    }

    // An end of stream on one side is passed on to the other, as a direct connection would see it.
    void Lost(int side) {
        if (fd_[side] >= 0) ::close(fd_[side]);
        fd_[side] = -1;
        if (fd_[1 - side] >= 0) ::shutdown(fd_[1 - side], SHUT_RDWR);
    }

    void Fault(const std::string& what) {
        const int test = fd_[kTest];
        if (test < 0) return;
        if (what == "close") {
            ::close(test);
            fd_[kTest] = -1;
        } else if (what == "halfclose") {
            ::shutdown(test, SHUT_WR);
            towardTest_ = false;
        } else if (what == "trunc-stall" || what == "trunc-close") {
            // A request announcing 64 bytes of which 10 arrive.
            const std::string part = Header(frame::FrameKind::Request, 64) + std::string(10, '\x01');
            SendAll(test, part.data(), part.size());
            towardTest_ = false;
            if (what == "trunc-close") {
                ::close(test);
                fd_[kTest] = -1;
            }
        } else if (what == "garbage") {
            const std::string junk = Header(frame::FrameKind::Request, 4, 0xEE) + "junk";
            SendAll(test, junk.data(), junk.size());
            towardTest_ = false;
        }
    }

    int listen_;
    std::string target_;
    bool testIsAccepted_;
    int commandFd_;
    peer::LineReader commands_;
    int events_;
    int fd_[2] = {-1, -1};
    std::string buffer_[2];
    bool towardTest_ = true;
};

void MakeDir(const std::string& dir) { ::mkdir(dir.c_str(), 0700); }

int ServeChainBehindRelay(const std::string& dir, int commands, int events) {
    const std::string inner = dir + "/inner";
    MakeDir(inner);
    ::setenv("ZEL_IPC_DIR", inner.c_str(), 1);
    peer::StayBlocker blocker(events);
    auto probe = std::make_shared<peer::ServiceProbe>(&blocker);
    auto service = std::make_shared<peer::ChainService>(probe);
    auto connector = peer::ServingConnector::Create();
    connector->Serve(service);
    Relay relay(dir + "/AAI.sock", inner + "/AAI.sock", true, commands, events);
    peer::WriteLine(events, "ready");
    relay.Run();
    return 0;
}

int ConnectChainThroughRelay(const std::string& dir, int commands, int events, int depth) {
    const std::string relayDir = dir + "/relay";
    MakeDir(relayDir);
    ::setenv("ZEL_IPC_DIR", relayDir.c_str(), 1);
    Relay relay(relayDir + "/AAI.sock", dir + "/AAI.sock", false, commands, events);
    // The connection's calls, on threads that stay where their chain stops.
    std::thread([events, depth] {
        static peer::StayBlocker blocker(events);
        auto root = aai::IAAService::Connect();
        if (!root) std::_Exit(3);
        auto session = root->registerClient("faulty-client");
        auto email = session->getEmailAddressServer();
        auto cluster = session->getClusterSecurityServer();
        if (!email || !cluster) std::_Exit(3);
        std::thread([email] { email->getEmailAddresses("park", false, std::make_shared<peer::ParkReply>(&blocker)); })
            .detach();
        email->getEmailAddresses(peer::ChainText(depth), false, std::make_shared<peer::ChainReply>(depth, cluster, &blocker));
        for (;;) ::pause();
    }).detach();
    relay.Run();
    return 0;
}

int ServeCycles(const std::string& dir, int commands, int events) {
    ::setenv("ZEL_IPC_DIR", dir.c_str(), 1);
    auto probe = std::make_shared<peer::ServiceProbe>();
    auto service = std::make_shared<peer::ChainService>(probe);
    auto connector = peer::ServingConnector::Create();
    connector->Serve(service);
    peer::WriteLine(events, "ready");
    peer::LineReader reader(commands);
    std::string command;
    while (reader.Next(command, 3600s)) {
        if (command == "stats") {
            // Connections end on their own threads after the client let go: wait until each one
            // that came has gone, and its handler with it.
            WaitUntil(
                [&] {
                    const auto c = connector->Count();
                    return c.connected == c.disconnected && c.liveHandlers == 0;
                },
                10s);
            const auto c = connector->Count();
            peer::WriteLine(events, "stats " + std::to_string(peer::FdCount()) + " " + std::to_string(peer::ThreadCount()) +
                                        " " + std::to_string(c.connected) + " " + std::to_string(c.disconnected) + " " +
                                        std::to_string(c.liveHandlers) + " " + std::to_string(c.stubs) + " " +
                                        std::to_string(c.proxies) + " " + std::to_string(c.stubsAtDisconnect) + " " +
                                        std::to_string(probe->liveSessions.load()));
        } else if (command == "quit") {
            break;
        }
    }
    connector->StopServing();
    connector.reset();
    service.reset();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: process_peer service|client|cycle <dir> <commands> <events> [depth]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string dir = argv[2];
    const int commands = std::atoi(argv[3]);
    const int events = std::atoi(argv[4]);
    if (mode == "service") return ServeChainBehindRelay(dir, commands, events);
    if (mode == "client" && argc > 5) return ConnectChainThroughRelay(dir, commands, events, std::atoi(argv[5]));
    if (mode == "cycle") return ServeCycles(dir, commands, events);
    return 2;
}
