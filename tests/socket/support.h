// Test doubles and raw-socket helpers for the socket transport's tests.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ipc2/ipc2.h"
#include "tempdir.h"
#include "procfs.h"
#include "wait.h"

namespace sockettest {

namespace ipc2 = zel::proglibs::ipc2;
using ipc2::ByteStream;
using ipc2::ConnectionHandler;

// Methods of TestStub. A request is: object id (4), module (1), method (4), arguments.
enum Method : int {
    kEcho = 1,     // replies with its arguments
    kThrow = 2,    // throws, naming its arguments
    kNoReply = 3,  // returns null
    kBounce = 4,   // (n, peer object, own object): calls the peer back n times deep, replies with the
                   // most threads this process had at any level
    kBlock = 5,    // waits on the stub's gate, then replies "released"
    kRepeat = 6,   // (n): replies with n bytes
    kClose = 7,    // closes its connection, then replies
    kForward = 8,  // (object, method): calls that method of the peer's object and replies with its reply
    kPost = 9,     // (object, method): posts that method to the peer's object (one-way), then replies
    kCount = 10,   // counts the call in the stub's object and replies with the count so far
    kAwaitCancel = 11,  // waits (at most 5 s) for its caller to give up; replies whether it did
};

using procfs::CountEntries;
using procfs::FdCount;
using procfs::ThreadCount;

inline std::shared_ptr<ByteStream> Request(int object, int method, const std::string& args = {}) {
    auto s = std::make_shared<ByteStream>();
    ipc2::WriteLe32(*s, object);
    const unsigned char module = 0;
    s->Write(&module, 1);
    ipc2::WriteLe32(*s, method);
    s->Write(args.data(), static_cast<unsigned int>(args.size()));
    return s;
}

inline std::string Ints(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        unsigned char b[4];
        ipc2::StoreLe32(b, static_cast<std::uint32_t>(v));
        out.append(reinterpret_cast<char*>(b), 4);
    }
    return out;
}

inline std::string Rest(ByteStream& s) {
    const std::size_t n = s.Remaining();
    return std::string(reinterpret_cast<const char*>(s.Read(static_cast<unsigned int>(n))), n);
}

inline std::string Text(const std::shared_ptr<ByteStream>& s) { return s ? Rest(*s) : std::string("<null>"); }

// A gate that blocked requests wait on.
struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
    int entered = 0;
    int inside = 0;
    int mostInside = 0;

    void Pass() {
        std::unique_lock<std::mutex> lk(mu);
        ++entered;
        mostInside = std::max(mostInside, ++inside);
        cv.notify_all();
        cv.wait(lk, [&] { return open; });
        --inside;
    }
    bool WaitEntered(int n) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, std::chrono::seconds(5), [&] { return entered >= n; });
    }
    void Open() {
        std::lock_guard<std::mutex> lk(mu);
        open = true;
        cv.notify_all();
    }
};

// The object behind a stub: the tests watch it through a weak_ptr to see the stub dropped.
struct Impl {
    Gate gate;
    std::atomic<int> count{0};
    std::function<void()> onBlock;  // called when a kBlock request arrives
};

class TestStub : public ipc2::IStub {
public:
    TestStub(int id, std::shared_ptr<Impl> impl) : id_(id), impl_(std::move(impl)) {}

    int GetId() override { return id_; }
    void* GetObject() override { return impl_.get(); }
    void IncreaseReferenceCount() override { ++count_; }
    int DecreaseReferenceCount(int count) override { return count_ -= count; }
    bool GetSendFlag(int) override { return true; }

    std::shared_ptr<ByteStream> Receive(std::shared_ptr<ByteStream> request,
                                        std::shared_ptr<ConnectionHandler> handler) override {
        request->Read(1);  // module
        const int method = ipc2::ReadLe32(*request);
        auto reply = std::make_shared<ByteStream>();
        switch (method) {
        case kEcho: {
            const std::string args = Rest(*request);
            reply->Write(args.data(), static_cast<unsigned int>(args.size()));
            return reply;
        }
        case kThrow: throw std::runtime_error("refused: " + Rest(*request));
        case kNoReply: return nullptr;
        case kBounce: {
            const int n = ipc2::ReadLe32(*request);
            const int peer = ipc2::ReadLe32(*request);
            const int own = ipc2::ReadLe32(*request);
            int most = ThreadCount();
            if (n > 0) {
                auto nested = handler->Send(Request(peer, kBounce, Ints({n - 1, own, peer})), true);
                if (!nested) throw std::runtime_error("the nested call found the connection lost");
                most = std::max(most, ipc2::ReadLe32(*nested));
            }
            ipc2::WriteLe32(*reply, most);
            return reply;
        }
        case kBlock: {
            if (impl_->onBlock) impl_->onBlock();
            impl_->gate.Pass();
            reply->Write("released", 8);
            return reply;
        }
        case kRepeat: {
            const int n = ipc2::ReadLe32(*request);
            std::string bytes(static_cast<std::size_t>(n), 'r');
            reply->Write(bytes.data(), static_cast<unsigned int>(n));
            return reply;
        }
        case kForward: {
            const int object = ipc2::ReadLe32(*request);
            const int forwarded = ipc2::ReadLe32(*request);
            auto r = handler->Send(Request(object, forwarded), true);
            if (!r) throw std::runtime_error("the forwarded call found the connection lost");
            return r;
        }
        case kPost: {
            const int object = ipc2::ReadLe32(*request);
            const int posted = ipc2::ReadLe32(*request);
            handler->Post(Request(object, posted), true);
            reply->Write("posted", 6);
            return reply;
        }
        case kCount: {
            ipc2::WriteLe32(*reply, ++impl_->count);
            return reply;
        }
        case kAwaitCancel: {
            WaitUntil([] { return ipc2::CurrentCall::Cancelled(); }, std::chrono::seconds(5));
            const std::string said = ipc2::CurrentCall::Cancelled() ? "cancelled" : "not cancelled";
            reply->Write(said.data(), static_cast<unsigned>(said.size()));
            return reply;
        }
        case kClose: {
            handler->Close();
            reply->Write("closed", 6);
            return reply;
        }
        }
        throw std::runtime_error("no method " + std::to_string(method));
    }

private:
    int id_;
    std::shared_ptr<Impl> impl_;
    int count_ = 1;
};

// The connector a test binds a connection's end to: it dispatches like the runtime does, id 0 to
// its root stub and others to the connection's stubs, and tells its hooks of the connections it
// admits and loses.
class TestReceiver : public ipc2::Connector {
public:
    using Hook = std::function<void(const std::shared_ptr<ConnectionHandler>&)>;

    explicit TestReceiver(std::shared_ptr<Impl> root = nullptr) : root_(std::make_shared<TestStub>(0, std::move(root))) {}

    std::shared_ptr<ByteStream> Receive(std::shared_ptr<ByteStream> request,
                                        std::shared_ptr<ConnectionHandler> handler) override {
        const int id = ipc2::ReadLe32(*request);
        std::shared_ptr<ipc2::IStub> stub = id == 0 ? root_ : handler->GetStub(id);
        if (!stub) throw ipc2::RemoteError("no object " + std::to_string(id));
        return stub->Receive(request, handler);
    }
    void ClientConnected(std::shared_ptr<ConnectionHandler> handler) override {
        if (onConnected) onConnected(handler);
    }
    void Disconnected(std::shared_ptr<ConnectionHandler> handler) override {
        if (onDisconnected) onDisconnected(handler);
    }

    // Set before the receiver serves.
    Hook onConnected;
    Hook onDisconnected;

private:
    std::shared_ptr<ipc2::IStub> root_;
};

// Registers a TestStub for `impl` on the connection; returns its id.
inline int AddStub(const std::shared_ptr<ConnectionHandler>& handler, const std::shared_ptr<Impl>& impl) {
    auto stub = handler->GetOrCreateStub(impl.get(), "Test",
                                         [impl](void*, int id, std::shared_ptr<ConnectionHandler>) {
                                             return std::make_shared<TestStub>(id, impl);
                                         });
    return stub->GetId();
}

// A private directory for socket files, removed with what is left in it.
class TempDir : public testsupport::TempDir {
public:
    TempDir() : testsupport::TempDir("zst") {}
};

// ---- raw frames, written from the documented layout rather than with the transport's own code

struct RawHeader {
    std::uint32_t length = 0;
    std::uint8_t kind = 0;
    std::uint8_t flags = 0;
    std::uint16_t depth = 0;
    std::uint32_t callId = 0;
    std::uint64_t chain = 0;
    std::uint32_t budget = 0;  // a request's, with flag bit 2
};

inline void Le(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

inline std::uint64_t FromLe(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

inline std::string RawFrame(std::uint8_t kind, std::uint32_t callId, std::uint64_t chain, std::uint16_t depth,
                            const std::string& payload, std::uint8_t flags = 0, std::int64_t length = -1) {
    std::string out;
    Le(out, length < 0 ? payload.size() : static_cast<std::uint64_t>(length), 4);
    out.push_back(static_cast<char>(kind));
    out.push_back(static_cast<char>(flags));
    Le(out, depth, 2);
    Le(out, callId, 4);
    Le(out, chain, 8);
    return out + payload;
}

inline std::string Names(const std::vector<std::string>& names) {
    std::string out;
    Le(out, names.size(), 4);
    for (const auto& n : names) {
        Le(out, n.size(), 4);
        out += n;
    }
    return out;
}

// The runtime's protocol version, as a peer writes it in its hello.
constexpr std::uint32_t kWireVersion = 5;

inline std::string RawHello(std::uint32_t version, const std::vector<std::string>& modules) {
    std::string p = "zipc";
    Le(p, version, 4);
    return RawFrame(4, 1, 0, 0, p + Names(modules));
}

inline std::string RawHelloAck(std::uint32_t version, const std::string& checksum,
                               const std::vector<std::string>& modules) {
    std::string p = "zipc";
    Le(p, version, 4);
    Le(p, checksum.size(), 4);
    return RawFrame(5, 1, 0, 0, p + checksum + Names(modules));
}

inline std::string RawRequest(std::uint32_t callId, std::uint64_t chain, std::uint16_t depth, int object, int method,
                              const std::string& args) {
    std::string p;
    Le(p, static_cast<std::uint32_t>(object), 4);
    p.push_back(0);
    Le(p, static_cast<std::uint32_t>(method), 4);
    return RawFrame(1, callId, chain, depth, p + args);
}

// One end of a socket driven byte by byte by the test.
class RawPeer {
public:
    explicit RawPeer(int fd = -1) : fd_(fd) {}
    ~RawPeer() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    static std::unique_ptr<RawPeer> Dial(const std::string& path) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<RawPeer>(fd);
    }
    // Dial, then the hello: a peer ready to send requests, or null.
    static std::unique_ptr<RawPeer> Greeted(const std::string& path) {
        auto peer = Dial(path);
        if (peer && !peer->Handshake()) peer.reset();
        return peer;
    }

    bool Send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads exactly n bytes; false on end of stream, error or after the bound.
    bool ReadExact(std::string& out, std::size_t n, std::chrono::milliseconds bound = std::chrono::seconds(5)) {
        out.clear();
        const auto end = std::chrono::steady_clock::now() + bound;
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char b[4096];
            ssize_t k = ::recv(fd_, b, std::min(sizeof b, n - out.size()), 0);
            if (k <= 0) return false;
            out.append(b, static_cast<std::size_t>(k));
        }
        return true;
    }

    bool ReadFrame(RawHeader& h, std::string& payload) {
        std::string head;
        if (!ReadExact(head, 20)) return false;
        auto* p = reinterpret_cast<const unsigned char*>(head.data());
        h.length = static_cast<std::uint32_t>(FromLe(p, 4));
        h.kind = p[4];
        h.flags = p[5];
        h.depth = static_cast<std::uint16_t>(FromLe(p + 6, 2));
        h.callId = static_cast<std::uint32_t>(FromLe(p + 8, 4));
        h.chain = FromLe(p + 12, 8);
        if (h.kind == 1 && (h.flags & 0x04) != 0) {
            std::string budget;
            if (!ReadExact(budget, 4)) return false;
            h.budget = static_cast<std::uint32_t>(FromLe(reinterpret_cast<const unsigned char*>(budget.data()), 4));
        }
        return ReadExact(payload, h.length);
    }

    // True when the other side closed (end of stream or reset) within the bound; data before it is skipped.
    bool WaitClosed(std::chrono::milliseconds bound = std::chrono::seconds(5)) {
        const auto end = std::chrono::steady_clock::now() + bound;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char b[4096];
            ssize_t k = ::recv(fd_, b, sizeof b, 0);
            if (k <= 0) return true;
        }
    }

    // Says hello and reads the hello-ack; true when the server accepted.
    bool Handshake(const std::vector<std::string>& modules = {}) {
        if (!Send(RawHello(kWireVersion, modules))) return false;
        RawHeader h;
        std::string payload;
        return ReadFrame(h, payload) && h.kind == 5;
    }

    int fd() const { return fd_; }

private:
    int fd_;
};

// A listening socket that plays a scripted server for one connection.
class FakeServer {
public:
    // `script` gets the accepted socket after the client's hello has been read (or not, if it
    // arrives late), and may write anything.
    FakeServer(const std::string& path, std::function<void(RawPeer&)> script) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 4) != 0) {
            throw std::runtime_error("fake server: bind/listen");
        }
        thread_ = std::thread([this, script] {
            int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            RawPeer peer(c);
            RawHeader h;
            std::string hello;
            peer.ReadFrame(h, hello);
            script(peer);
        });
    }
    ~FakeServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }

private:
    int fd_ = -1;
    std::thread thread_;
};

}  // namespace sockettest
