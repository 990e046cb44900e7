// Socket descriptors: one owned outright, and one shared by threads that may use it while another
// shuts it down.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace zel::proglibs::ipc2::socket {

// The text of an errno value.
std::string ErrnoText(int error);

// Closes its descriptor when it goes, unless it was released.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// A connection's socket. It is closed once it has been shut down and its last use has ended, so
// that a number the process reuses is never read or written by a thread that was late.
class SocketFd {
public:
    explicit SocketFd(int fd) noexcept : fd_(fd), toClose_(fd) {}
    ~SocketFd();
    SocketFd(const SocketFd&) = delete;
    SocketFd& operator=(const SocketFd&) = delete;

    // The descriptor with a use counted, or -1 after Shutdown.
    int Acquire() noexcept;
    void Release() noexcept;
    // Wakes every blocked read, write and poll; idempotent.
    void Shutdown() noexcept;
    // The descriptor's number, for epoll_ctl: an operation on a number that was closed and reused
    // meanwhile finds no such registration and does nothing.
    int Number() const noexcept { return fd_; }

private:
    static constexpr std::uint32_t kShut = 1u << 31;
    void CloseNow() noexcept;

    const int fd_;
    std::atomic<int> toClose_;
    std::atomic<std::uint32_t> state_{0};
};

// One use of a SocketFd, for a scope.
class FdUse {
public:
    explicit FdUse(SocketFd& s) noexcept : s_(s), fd_(s.Acquire()) {}
    ~FdUse() {
        if (fd_ >= 0) s_.Release();
    }
    FdUse(const FdUse&) = delete;
    FdUse& operator=(const FdUse&) = delete;
    // -1 once the socket is shut down.
    int fd() const noexcept { return fd_; }

private:
    SocketFd& s_;
    int fd_;
};

}  // namespace zel::proglibs::ipc2::socket
