// The right to read a connection's socket, which one thread holds at a time, and the epoll set
// where idle service threads wait for the socket while nobody holds it.
//
// On this kind of machine waking a thread costs more than everything else a call does, so the
// token goes where the next frame will be wanted and nobody else is woken (channel.h says who
// takes it when). When no thread holds it, the socket is armed one-shot in the epoll set: a frame
// wakes exactly one idle service thread. Arming and disarming is an epoll_ctl, which wakes nobody.
// The set also holds an eventfd, the kick, that wakes one idle thread for work that is no frame
// on the socket (queued requests, frames already buffered), and every thread once the connection
// has closed.
#pragma once

#include <cstdint>
#include <string>

namespace zel::proglibs::ipc2::socket {

// Whoever may hold the token: a caller waiting for its reply, or a service thread.
struct TokenHolder {};

// The epoll set and its kick. Its descriptors are fixed from construction until released: any
// thread may wait in it without a lock until then.
class EpollSet {
public:
    // `socket`: the connection's descriptor, added armed one-shot. Usable() is false when the set
    // could not be made (Error() says why).
    explicit EpollSet(int socket) noexcept;
    ~EpollSet();
    EpollSet(const EpollSet&) = delete;
    EpollSet& operator=(const EpollSet&) = delete;

    bool Usable() const noexcept { return epoll_ >= 0; }
    int Error() const noexcept { return error_; }
    // Sets what the socket, or the kick, waits for.
    void WatchSocket(int socket, std::uint32_t events) const noexcept;
    void WatchKick(std::uint32_t events) const noexcept;
    void RaiseKick() const noexcept;
    void ConsumeKick() const noexcept;

    struct Events {
        bool socket = false;
        bool kick = false;
    };
    // Blocks until the socket or the kick fires.
    Events Wait() const noexcept;
    // Closes both descriptors, once no thread can be waiting in the set any more: a connection
    // that ended keeps none while its handler lives on. Every operation after it does nothing.
    void Release() noexcept;

private:
    int epoll_ = -1;
    int kick_ = -1;
    int error_ = 0;
};

// Who holds the token, and whether the socket is armed. Not thread-safe: the connection's lock
// guards it.
class ReadToken {
public:
    ReadToken(const EpollSet& set, int socket) noexcept : set_(set), socket_(socket) {}

    const TokenHolder* Holder() const noexcept { return holder_; }
    bool HeldBy(const TokenHolder* h) const noexcept { return holder_ == h; }
    bool IsFree() const noexcept { return holder_ == nullptr; }
    bool IsArmed() const noexcept { return armed_; }

    // Takes the token for `taker`, disarming the socket; false when someone holds it.
    bool Take(const TokenHolder* taker) noexcept;
    // Nobody holds it, and the socket is not armed either (the holder will be back for it).
    void Drop() noexcept { holder_ = nullptr; }
    // Hands the token to `holder` directly (a waiting caller).
    void GiveTo(const TokenHolder* holder) noexcept { holder_ = holder; }
    // Nobody holds it: the socket is armed, and the next frame wakes an idle thread.
    void Arm() noexcept;
    // The socket fired for a thread, which disarmed it.
    void Fired() noexcept { armed_ = false; }
    // Wakes one idle thread (at most one wake-up is pending at a time).
    void Kick() noexcept;
    // The kick was read.
    void KickTaken() noexcept { kickPending_ = false; }
    // The connection closed: the kick stays raised and level-triggered, so that every idle thread
    // wakes (each passes it on to the next) and none waits again.
    void KickForever() noexcept;

private:
    const EpollSet& set_;
    const int socket_;
    const TokenHolder* holder_ = nullptr;
    bool armed_ = true;  // the set starts with the socket armed
    bool kickPending_ = false;
};

}  // namespace zel::proglibs::ipc2::socket
