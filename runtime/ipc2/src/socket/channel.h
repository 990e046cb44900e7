// One socket connection as a link (link.h): who reads the socket, who runs what arrives on it, and
// how it ends. What a request means is its endpoint's; the channel only moves frames.
//
// Reading is a token (read_token.h) that goes where the next frame will be wanted:
//   - A thread waiting in Exchange takes the token and reads the socket itself, so that its reply
//     wakes it directly, as a plain read() would.
//   - When no caller waits, the socket is armed in the epoll set where the idle service threads
//     wait: a frame wakes exactly one of them. A caller takes the token from them with an
//     epoll_ctl, which wakes nobody.
//   - A service thread that reads a request re-arms the socket (another idle thread watches it)
//     and runs the request itself, so serving a request costs one wake-up.
// Whoever reads routes what arrives:
//   - a reply or error goes to the waiting call of its call id (call_table.h);
//   - a request is first accepted by the endpoint's limiter, or refused with an error frame;
//   - a request whose chain has a thread waiting in Exchange goes to that thread, which runs it
//     itself (the nested callback: no extra thread, so nesting never deadlocks);
//   - any other request is run by the service thread that read it, or queued for one
//     (service_pool.h).
//
// Lock order: a writer's lock (frame_writer.h) before mu_. A writer that must not wait with the
// read token takes mu_ to pass the token on while it holds the writer's lock; no thread takes the
// writer's lock with mu_ held.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../endpoint.h"
#include "../link.h"
#include "../sync.h"
#include "call_table.h"
#include "fd.h"
#include "frame_reader.h"
#include "frame_writer.h"
#include "read_token.h"
#include "served_calls.h"
#include "service_pool.h"

namespace zel::proglibs::ipc2::socket {

class Channel final : public Link, public std::enable_shared_from_this<Channel> {
public:
    // Takes the connected stream socket.
    Channel(UniqueFd fd, bool isServer);
    ~Channel() override;
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    Outcome Exchange(const std::shared_ptr<ByteStream>& request, int depth, Clock::time_point deadline) override;
    void Post(const std::shared_ptr<ByteStream>& request, int depth) override;
    // Drops the stubs (unless that is under way already) and, unless called on one of this
    // connection's own threads, waits for them to end.
    void Close(const std::string& reason) override;
    void Shutdown(const std::string& reason) override { Fail(reason, false); }
    bool IsOpen() const noexcept override { return open_.load(std::memory_order_acquire); }
    PeerCredentials Peer() const override { return peer_; }

    // Carries the endpoint's requests and keeps to its limits; a server's endpoint is kept alive
    // until the connection closes. Before the connection is served.
    void Attach(const std::shared_ptr<Endpoint>& endpoint);
    // `ended` runs once the connection has ended and its endpoint was told (set before Start).
    void WhenEnded(std::function<void()> ended) ZEL_EXCLUDES(mu_);
    // Starts the first service thread: it runs `first` (the server's half of the handshake; may be
    // empty) and, if that returns true, serves the connection. False when no thread could be
    // started, or the connection's epoll set could not be made (traced when it was tried).
    bool Start(std::function<bool()> first = {});

    // ---- for the handshake, before the connection is served
    SocketFd& Fd() noexcept { return fd_; }
    bool IsServer() const noexcept { return isServer_; }
    // Sends one frame whole; false (and the connection ended) when it could not.
    bool WriteFrame(const FrameHeader& header, const void* payload) { return WriteFrame(header, payload, nullptr, nullptr); }
    // Ends the connection without waiting. `fault`: the peer misbehaved, worth tracing at level 1.
    void Fail(const std::string& reason, bool fault) ZEL_EXCLUDES(mu_);

private:
    enum class Read { Routed, RunIt, Nothing, Failed };
    class Leaving;

    // Calls of ours.
    std::uint64_t ChainOfCall() noexcept;
    std::vector<unsigned char>* OwnPending() const noexcept;
    void WaitLoop(Waiter& w) ZEL_REQUIRES(mu_);
    void RunOwnChain(Waiter& w, Frame& f) ZEL_REQUIRES(mu_);
    void Leave(Waiter& w) ZEL_REQUIRES(mu_);
    void HandOnInbox(Waiter& w) ZEL_REQUIRES(mu_);
    static Outcome AnswerOf(Waiter& w);
    // Tells the peer that the caller of `w` gave up on its request.
    void SendCancel(const Waiter& w);

    // Reading and routing, as the token holder `me`. `waiter`: the reading caller (its read may
    // block), or null for a service thread (its read never blocks: its wake-up may have been for
    // bytes another reader took). A request for the reader to run comes back in `run`.
    Read ReadAndRoute(const TokenHolder* me, Waiter* waiter, Frame& run) ZEL_REQUIRES(mu_);
    FrameReader::Status ReadFrame(const Waiter* waiter, Frame& f, FrameReader::Failure& failure);
    void RouteAnswer(Waiter* reader, Frame& f) ZEL_REQUIRES(mu_);
    Read RouteRequest(const TokenHolder* me, Waiter* waiter, Frame& f, Frame& run) ZEL_REQUIRES(mu_);
    void Refuse(const TokenHolder* me, const FrameHeader& request, const std::string& why) ZEL_REQUIRES(mu_);

    // Running a request and answering it. `caller`: the waiter of the request's chain running it.
    void RunRequest(Frame& f, Waiter* caller = nullptr) noexcept ZEL_EXCLUDES(mu_);
    // Runs `f` with mu_ let go meanwhile, and forgets it among the requests served.
    void RunUnlocked(Frame& f, Waiter* caller = nullptr) ZEL_REQUIRES(mu_);
    void Answer(const FrameHeader& request, const Outcome& outcome, std::vector<unsigned char>& pending,
                const TokenHolder* holder);

    // Writing. A writer that holds the read token as `holder` never waits with it, for another
    // writer or for the peer to read (the peer may itself be waiting for us to read before it
    // reads): it passes the token on first. A failed write ends the connection.
    bool WriteFrame(const FrameHeader& header, const void* payload, const std::vector<unsigned char>* before,
                    const TokenHolder* holder);
    bool WriteBytes(const std::vector<unsigned char>& frames, const TokenHolder* holder = nullptr);
    template <class Send>
    bool WriteOut(const TokenHolder* holder, Send send);
    void LetGoOfToken(const TokenHolder* holder) ZEL_EXCLUDES(mu_);

    // The read token and the service threads. `goingIdle`: the caller is a service thread about to
    // wait in the epoll set itself.
    void PassToken(bool goingIdle = false) ZEL_REQUIRES(mu_);
    void Arm(bool goingIdle = false) ZEL_REQUIRES(mu_);
    void WakeRunner() ZEL_REQUIRES(mu_);
    bool Spawn(std::function<bool()> first = {}) ZEL_REQUIRES(mu_);
    void ServiceMain(const std::function<bool()>& first);
    void ServiceLoop() ZEL_REQUIRES(mu_);
    void ReadAsServiceThread(const TokenHolder& me) ZEL_REQUIRES(mu_);
    void RunQueued(bool socketFired) ZEL_REQUIRES(mu_);
    void RunOnPool(Frame& f) ZEL_REQUIRES(mu_);
    bool WaitIdle() ZEL_REQUIRES(mu_);

    // Ending.
    bool ShutdownLocked(const std::string& reason, bool fault) ZEL_REQUIRES(mu_);
    void Cleanup() ZEL_EXCLUDES(mu_);
    void ReleaseIfUnused() ZEL_REQUIRES(mu_);
    void JoinThreads() ZEL_EXCLUDES(mu_);
    bool OnOwnThread() const noexcept;

    void Trace(int level, const char* function, int line, const std::string& text) const;

    const bool isServer_;
    // Only the token holder reads; the hand-over is under mu_.
    FrameReader reader_;
    SocketFd fd_;
    PeerCredentials peer_;
    EpollSet epoll_;  // released under mu_ once closed with no thread left to wait in it
    FrameWriter writer_;
    std::atomic<bool> open_{true};
    std::atomic<std::uint64_t> chainCounter_{0};
    // Set by Attach before the connection is served, then only read.
    std::weak_ptr<Endpoint> endpoint_;
    std::shared_ptr<Limiter> limiter_;
    FrameReader::Bounds bounds_;

    // Taken after the writer's lock when both are held, never before it; joinMu_ before it.
    mutable Mutex mu_;
    bool closed_ ZEL_GUARDED_BY(mu_) = false;
    bool cleanupClaimed_ ZEL_GUARDED_BY(mu_) = false;
    std::shared_ptr<Endpoint> keepAlive_ ZEL_GUARDED_BY(mu_);  // a server's, until closed
    std::function<void()> whenEnded_ ZEL_GUARDED_BY(mu_);
    ReadToken token_ ZEL_GUARDED_BY(mu_);
    CallTable calls_ ZEL_GUARDED_BY(mu_);
    ServicePool pool_ ZEL_GUARDED_BY(mu_);
    ServedCalls served_ ZEL_GUARDED_BY(mu_);

    Mutex joinMu_ ZEL_ACQUIRED_BEFORE(mu_);  // one joiner at a time
};

}  // namespace zel::proglibs::ipc2::socket
