// The address of a socket file.
#pragma once

#include <sys/un.h>

#include <cstring>
#include <string>

namespace zel::proglibs::ipc2::socket {

// False when the path is empty or too long for a Unix socket.
inline bool MakeAddress(const std::string& path, sockaddr_un& a) noexcept {
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof a.sun_path) return false;
    std::memcpy(a.sun_path, path.data(), path.size());
    return true;
}

}  // namespace zel::proglibs::ipc2::socket
