// One socket connection: who reads it, who runs what arrives on it, and how it ends.
//
// Reading is a token that one thread holds at a time. On this kind of machine waking a thread
// costs more than everything else a call does, so the token goes where the next frame will be
// wanted and nobody else is woken:
//   - A thread waiting in Send takes the token and reads the socket itself, so that its reply
//     wakes it directly, as a plain read() would.
//   - When no caller waits, the socket is armed one-shot in the connection's epoll set, where the
//     idle service threads wait: a frame wakes exactly one of them. Arming and disarming is an
//     epoll_ctl, which wakes nobody; a caller takes the token from idle service threads that way.
//   - A service thread that reads a request re-arms the socket (another idle thread watches it)
//     and runs the request itself, so serving a request costs one wake-up.
// Whoever reads routes what arrives:
//   - a reply or error goes to the waiting call of its call id;
//   - a request whose chain has a thread waiting in Send goes to that thread, which runs it itself
//     (the nested callback case: no extra thread, so nesting never deadlocks);
//   - any other request is run by the service thread that read it, or queued for one.
// At most kMaxRunning service threads run requests at once and one more can always read, so a
// connection never has more than kMaxServiceThreads of its own threads; they are started only
// when needed and end when the connection closes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipc2/bytestream.h"
#include "ipc2/connector.h"
#include "ipc2/limits.h"
#include "ipc2/registry.h"
#include "frame.h"

namespace zel::proglibs::ipc2::socket {

class Channel;

// The socket descriptor, shared by threads that may use it concurrently with its shutdown. The
// descriptor is closed once it has been shut down and the last use has ended, so a number that
// the process reuses is never read or written by a thread that was late.
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

class FdUse {
public:
    explicit FdUse(SocketFd& s) noexcept : s_(s), fd_(s.Acquire()) {}
    ~FdUse() {
        if (fd_ >= 0) s_.Release();
    }
    FdUse(const FdUse&) = delete;
    FdUse& operator=(const FdUse&) = delete;
    int fd() const noexcept { return fd_; }

private:
    SocketFd& s_;
    int fd_;
};

// The handler that the rest of the runtime sees.
class SocketConnection final : public RegistryConnectionHandler {
public:
    SocketConnection(std::vector<std::string> modules, bool isServer, std::shared_ptr<Channel> channel);
    ~SocketConnection() override;

    std::shared_ptr<ByteStream> Send(std::shared_ptr<ByteStream> request, bool sendFlag) override;
    void Post(std::shared_ptr<ByteStream> request, bool sendFlag) override;
    void Close() override;
    bool IsConnected() const override;
    PeerCredentials GetPeerCredentials() const override;

protected:
    void OnLastProxyRemoved() override;

private:
    std::shared_ptr<Channel> channel_;
};

struct ChannelOptions {
    bool isServer = false;
    Limits limits;
    std::weak_ptr<IReceiver> receiver;
    std::function<void(const std::shared_ptr<ConnectionHandler>&)> disconnected;
};

class Channel : public std::enable_shared_from_this<Channel> {
public:
    static constexpr int kMaxRunning = 4;
    static constexpr int kMaxServiceThreads = kMaxRunning + 1;

    // Takes ownership of fd (a connected stream socket); when it throws, fd is still the caller's.
    Channel(int fd, ChannelOptions options);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Binds the handler. A server connection keeps its handler alive until it closes.
    void Attach(const std::shared_ptr<SocketConnection>& handler);
    // Starts the first service thread: it runs `first` (the server's handshake; may be empty) and,
    // if that returns true, serves the connection. False when no thread could be started.
    // Also false when the connection's epoll set could not be made (the constructor logged why).
    bool Start(std::function<bool()> first);

    // ConnectionHandler::Send.
    std::shared_ptr<ByteStream> Call(const ByteStream& request);
    // ConnectionHandler::Post: the request goes out flagged one-way; nothing waits for it.
    void Post(const ByteStream& request);
    // ConnectionHandler::Close: shuts down, drops the stubs (unless that is already under way) and,
    // unless called on one of this connection's own threads, waits for them to end.
    void Close();
    // Shuts down without waiting; a service thread drops the stubs and reports the loss.
    // `fault` marks a reason worth logging at level 1 (the peer misbehaved).
    void Shutdown(const std::string& reason, bool fault);
    // The handler is being destroyed.
    void HandlerGone();

    bool IsOpen() const noexcept { return open_.load(std::memory_order_acquire); }
    const PeerCredentials& Peer() const noexcept { return peer_; }
    bool IsServer() const noexcept { return options_.isServer; }
    const Limits& GetLimits() const noexcept { return options_.limits; }
    SocketFd& Fd() noexcept { return fd_; }
    // Sends one frame whole; false (and the connection shut down) when it could not.
    // `before`: whole frames that go out ahead of this one, in the same write. `holder`: the
    // writer holds the read token as that (see WriteOut).
    bool WriteFrame(FrameKind kind, std::uint32_t callId, std::uint64_t chain, int depth, const void* data,
                    std::size_t size, std::uint8_t flags = 0, const std::vector<unsigned char>* before = nullptr,
                    const void* holder = nullptr);
    // Whether the handler was reported to `connected`, so that `disconnected` follows.
    void MarkReported(bool reported) noexcept;

private:
    struct Frame {
        FrameHeader header;
        std::shared_ptr<ByteStream> payload;
    };
    // A thread waiting in Call for its reply.
    struct Waiter {
        std::condition_variable cv;
        bool parked = false;  // in cv.wait
        std::uint32_t callId = 0;
        std::uint64_t chain = 0;
        int depth = 0;  // of the call, in its chain
        bool done = false;
        bool isError = false;
        std::shared_ptr<ByteStream> result;
        // Requests of this waiter's chain, for it to run: rarely more than one, and a vector, unlike
        // a deque, allocates nothing until it is used.
        std::vector<Frame> inbox;
    };
    enum class ReadStatus { Got, Nothing, Failed };
    enum class Route { Done, RunIt, Reject };

    void ServiceMain(const std::function<bool()>& first);
    void ServiceLoop(std::unique_lock<std::mutex>& lk);
    void WaitLoop(std::unique_lock<std::mutex>& lk, Waiter& w);
    void Leave(std::unique_lock<std::mutex>& lk, Waiter& w);
    // Reads one frame as the token holder `me` and routes it. `waiter` is me when a caller reads
    // (its reading may block); null for a service thread, whose first read never blocks (its
    // wake-up may have been for data already taken) and which gets requests to run in `run`.
    ReadStatus ReadAndRoute(std::unique_lock<std::mutex>& lk, const void* me, Waiter* waiter, Frame& run,
                            bool& runIt);
    Route RouteFrame(const void* me, Waiter* waiter, Frame& f, std::string& reject);
    ReadStatus ReadFrame(Frame& f, bool mayBlock, std::string& why, bool& fault);
    bool WaitForBytes(int fd, std::string& why);
    // Whole frames, written as they are.
    bool WriteBytes(const std::vector<unsigned char>& frames, const void* holder = nullptr);
    // One write on the socket, `send(fd, why, beforeWaiting)`, with the writers' lock held; a
    // failure shuts the connection down. A writer that holds the read token as `holder` never
    // waits with it, for another writer or for the peer to read: the peer may itself be waiting
    // for us to read before it reads. It passes the token on first.
    template <class Send>
    bool WriteOut(const void* holder, Send send);
    void LetGoOfToken(const void* holder);
    // The posts waiting to go out with this thread's next frame, when it runs a request of ours.
    std::vector<unsigned char>* OwnPending() const noexcept;
    // Runs a request and answers it. `caller`: the waiter of the request's chain running it.
    void RunRequest(Frame& f, Waiter* caller = nullptr) noexcept;

    // The token (all with mu_ held).
    bool TakeToken(const void* taker);
    // `goingIdle`: the caller is a service thread about to wait in the epoll set itself.
    void PassToken(bool goingIdle = false);
    void Arm(bool goingIdle = false);
    void Kick();
    void WakeRunner();
    // Starts a service thread, which runs `first` (when given) before it serves.
    bool Spawn(std::function<bool()> first = {});
    Waiter* ParkedReader() const;
    Waiter* FindCall(std::uint32_t callId) const;
    // The innermost call waiting in the chain, which runs the chain's requests.
    Waiter* InnermostOf(std::uint64_t chain) const;
    // Requests read and not run to their end yet: queued for the service threads, running on
    // them, or in the inboxes of the calls of their chains.
    std::size_t Unfinished() const;
    // Whether a whole frame waits in the read buffer (only the token holder may ask).
    bool FrameBuffered() const;
    void EpollSet(int fd, std::uint32_t events) noexcept;

    bool ShutdownLocked(const std::string& reason, bool fault);
    void Cleanup();
    void JoinThreads();
    bool OnOwnThread() const noexcept;
    std::uint32_t NextCallId();
    std::uint64_t NewChain() noexcept;
    // The chain and depth of a call made now on this thread; throws LimitError past the limits
    // (for a one-way request only past the frame size).
    void Place(std::size_t size, bool oneWay, std::uint64_t& chain, int& depth);

    const ChannelOptions options_;
    // Read buffer: only the token holder touches it (the hand-over is under mu_). Made before
    // fd_ takes the descriptor, so that a failed allocation leaves the descriptor to the caller.
    static constexpr std::size_t kReadBuffer = 16 * 1024;
    std::unique_ptr<unsigned char[]> rbuf_;
    SocketFd fd_;
    PeerCredentials peer_;
    std::atomic<bool> open_{true};
    std::atomic<std::uint64_t> chainCounter_{0};
    // The epoll set the idle service threads wait in: the socket (one-shot, while armed_) and an
    // eventfd that wakes one of them for queued work or buffered frames (and all, once closed).
    int epoll_ = -1;
    int kick_ = -1;

    std::weak_ptr<SocketConnection> handler_;
    std::shared_ptr<SocketConnection> keepAlive_;  // server side, until closed

    std::mutex writeMu_;  // one frame at a time; never taken with mu_ held (mu_ may be taken inside it)

    mutable std::mutex mu_;
    bool closed_ = false;
    bool cleanupClaimed_ = false;
    bool reported_ = false;
    // The read token: held by reader_ (a Waiter, or a service thread's tag), else armed in
    // the epoll set (armed_), else free for a while (a waiter runs a one-way request of its chain
    // and comes back for it).
    const void* reader_ = nullptr;
    bool armed_ = false;
    bool kickPending_ = false;
    int idle_ = 0;    // service threads in epoll_wait, or started and on their way there
    int parked_ = 0;  // callers in cv.wait
    // The calls waiting for replies, in the order they began (a handful, usually: a search costs
    // less than a map's allocation per call).
    std::vector<Waiter*> calls_;
    std::uint32_t nextCallId_ = 0;
    std::deque<Frame> queue_;
    int running_ = 0;
    int threadCount_ = 0;
    std::vector<std::thread> threads_;

    std::mutex joinMu_;

    // The bytes of rbuf_ read from the socket and not yet taken.
    std::size_t rpos_ = 0;
    std::size_t rend_ = 0;
};

// Writes a trace line for the connection when tracing is at `level`.
void TraceConnection(int level, const char* file, int line, const char* function, const Channel* channel,
                     const std::string& text);

}  // namespace zel::proglibs::ipc2::socket
