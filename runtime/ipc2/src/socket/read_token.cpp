#include "read_token.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace zel::proglibs::ipc2::socket {

namespace {
// What an epoll event is about.
constexpr std::uint64_t kSocketEvent = 1;
constexpr std::uint64_t kKickEvent = 2;

bool Add(int epoll, int fd, std::uint64_t what) {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.u64 = what;
    return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}
}  // namespace

EpollSet::EpollSet(int socket) noexcept {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    kick_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ >= 0 && kick_ >= 0 && Add(epoll_, socket, kSocketEvent) && Add(epoll_, kick_, kKickEvent)) return;
    error_ = errno;
    if (epoll_ >= 0) ::close(epoll_);
    if (kick_ >= 0) ::close(kick_);
    epoll_ = kick_ = -1;
}

EpollSet::~EpollSet() { Release(); }

void EpollSet::Release() noexcept {
    if (epoll_ >= 0) ::close(epoll_);
    if (kick_ >= 0) ::close(kick_);
    epoll_ = kick_ = -1;
}

void EpollSet::WatchSocket(int socket, std::uint32_t events) const noexcept {
    if (epoll_ < 0 || socket < 0) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = kSocketEvent;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, socket, &ev);
}

void EpollSet::WatchKick(std::uint32_t events) const noexcept {
    if (epoll_ < 0) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = kKickEvent;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, kick_, &ev);
}

void EpollSet::RaiseKick() const noexcept {
    if (kick_ < 0) return;
    const std::uint64_t one = 1;
    while (::write(kick_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void EpollSet::ConsumeKick() const noexcept {
    if (kick_ < 0) return;
    std::uint64_t count;
    while (::read(kick_, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

EpollSet::Events EpollSet::Wait() const noexcept {
    epoll_event events[2];
    const int n = ::epoll_wait(epoll_, events, 2, -1);
    Events fired;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kSocketEvent) {
            fired.socket = true;
        } else {
            fired.kick = true;
        }
    }
    return fired;
}

bool ReadToken::Take(const TokenHolder* taker) noexcept {
    if (holder_ != nullptr) return false;
    if (armed_) {
        armed_ = false;
        set_.WatchSocket(socket_, EPOLLONESHOT);
    }
    holder_ = taker;
    return true;
}

void ReadToken::Arm() noexcept {
    holder_ = nullptr;
    armed_ = true;
    set_.WatchSocket(socket_, EPOLLIN | EPOLLONESHOT);
}

void ReadToken::Kick() noexcept {
    if (kickPending_ || !set_.Usable()) return;
    kickPending_ = true;
    set_.RaiseKick();
    set_.WatchKick(EPOLLIN | EPOLLONESHOT);
}

void ReadToken::KickForever() noexcept {
    set_.RaiseKick();
    kickPending_ = true;
    set_.WatchKick(EPOLLIN);
}

}  // namespace zel::proglibs::ipc2::socket
