#include "fd.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <type_traits>

namespace zel::proglibs::ipc2::socket {

std::string ErrnoText(int error) {
    char buf[128];
    // The GNU strerror_r returns the text (maybe not in buf); the XSI one fills buf.
    auto r = strerror_r(error, buf, sizeof buf);
    if constexpr (std::is_same_v<decltype(r), char*>) {
        return r;
    } else {
        return r == 0 ? std::string(buf) : "error " + std::to_string(error);
    }
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = o.release();
    }
    return *this;
}

SocketFd::~SocketFd() { CloseNow(); }

int SocketFd::Acquire() noexcept {
    if (state_.fetch_add(1, std::memory_order_acquire) & kShut) {
        Release();
        return -1;
    }
    return fd_;
}

void SocketFd::Release() noexcept {
    if (state_.fetch_sub(1, std::memory_order_acq_rel) - 1 == kShut) CloseNow();
}

void SocketFd::Shutdown() noexcept {
    // Counted as a use, so that the descriptor cannot be closed under our own shutdown().
    state_.fetch_add(1, std::memory_order_acquire);
    if (!(state_.fetch_or(kShut, std::memory_order_acq_rel) & kShut)) ::shutdown(fd_, SHUT_RDWR);
    Release();
}

void SocketFd::CloseNow() noexcept {
    const int fd = toClose_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

}  // namespace zel::proglibs::ipc2::socket
