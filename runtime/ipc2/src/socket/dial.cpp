#include "dial.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "address.h"
#include "handshake.h"
#include "ipc2/errors.h"

namespace zel::proglibs::ipc2::socket {

namespace {

constexpr auto kConnectTimeout = std::chrono::seconds(5);

// Connects a stream socket. A server that stopped accepting (stopped, or hung) leaves its backlog
// full, where a blocking connect would wait for good: the socket connects without blocking, and a
// full backlog is tried again until the deadline. Returns 0 or an errno value (ETIMEDOUT: the
// backlog stayed full).
int ConnectBefore(int fd, const sockaddr_un& a, Deadline deadline) {
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

// Empty when the peer is `expected` or root; otherwise why it is not trusted.
std::string CheckServerUser(int fd, uid_t expected) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return "cannot tell who the server is: " + ErrnoText(errno);
    if (cred.uid == expected || cred.uid == 0) return {};
    // Whoever could put a socket there could be waiting for our first request (a password).
    return "the server runs as " + UserText(cred.uid) + ", not as " + UserText(expected) +
           " or root; nothing was sent to it (SetServerUser names the user a service runs as)";
}

}  // namespace

std::string UserText(uid_t uid) {
    passwd pw{};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
    return "uid " + std::to_string(uid);
}

Dialed Dial(const std::string& path, const std::vector<std::string>& modules, uid_t serverUser) {
    auto fail = [&](const std::string& what) { return ConnectError("cannot connect to " + path + ": " + what); };
    sockaddr_un a;
    if (!MakeAddress(path, a)) throw fail(path.empty() ? "no path" : "the path is too long for a Unix socket");
    Dialed dialed;
    dialed.fd = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (dialed.fd.get() < 0) throw fail("socket: " + ErrnoText(errno));
    // Connecting and the handshake together take at most this long.
    const Deadline deadline = std::chrono::steady_clock::now() + kConnectTimeout;
    if (const int e = ConnectBefore(dialed.fd.get(), a, deadline))
        throw fail(e == ETIMEDOUT ? "the server did not accept the connection within 5 s" : ErrnoText(e));
    std::string why = CheckServerUser(dialed.fd.get(), serverUser);
    if (!why.empty()) throw fail(why);
    switch (SayHello(dialed.fd.get(), modules, deadline, dialed.ack, why)) {
    case HandshakeStatus::Ok: return dialed;
    case HandshakeStatus::Timeout: throw fail("the server did not answer the handshake within 5 s");
    case HandshakeStatus::Failed: break;
    }
    throw fail(why);
}

}  // namespace zel::proglibs::ipc2::socket
