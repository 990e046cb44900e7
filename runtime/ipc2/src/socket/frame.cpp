#include "frame.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ipc2/bytestream.h"

namespace zel::proglibs::ipc2::socket {

namespace {

constexpr unsigned char kMagic[4] = {'z', 'i', 'p', 'c'};

void PutU32(std::vector<unsigned char>& out, std::uint32_t v) {
    unsigned char b[4];
    StoreLe32(b, v);
    out.insert(out.end(), b, b + 4);
}

void PutName(std::vector<unsigned char>& out, const std::string& s) {
    PutU32(out, static_cast<std::uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

// A bounds-checked cursor: every read is checked against what remains before anything is
// allocated, so a hostile count or length fails instead of allocating.
struct Cursor {
    const unsigned char* p;
    std::size_t n;
    std::string& why;

    bool U32(std::uint32_t& v, const char* what) {
        if (n < 4) return Fail(what);
        v = LoadLe32(p);
        p += 4;
        n -= 4;
        return true;
    }
    bool Name(std::string& s, const char* what) {
        std::uint32_t len = 0;
        if (!U32(len, what)) return false;
        if (len > kMaxNameSize || len > n) {
            char b[160];
            std::snprintf(b, sizeof b, "%s of %u bytes, %zu bytes left", what, len, n);
            why = b;
            return false;
        }
        s.assign(reinterpret_cast<const char*>(p), len);
        p += len;
        n -= len;
        return true;
    }
    bool Fail(const char* what) {
        why = std::string("truncated at the ") + what;
        return false;
    }
    bool Magic() {
        if (n < 4 || std::memcmp(p, kMagic, 4) != 0) {
            why = "not a hello of this runtime";
            return false;
        }
        p += 4;
        n -= 4;
        return true;
    }
    bool Modules(std::vector<std::string>& out) {
        std::uint32_t count = 0;
        if (!U32(count, "module count")) return false;
        // Each module takes at least its 4-byte length.
        if (count > kMaxModules || count > n / 4) {
            char b[120];
            std::snprintf(b, sizeof b, "module count %u (at most %zu, %zu bytes left)", count, kMaxModules, n);
            why = b;
            return false;
        }
        out.clear();
        out.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            std::string m;
            if (!Name(m, "module name")) return false;
            out.push_back(std::move(m));
        }
        return true;
    }
    bool End() {
        if (n == 0) return true;
        char b[80];
        std::snprintf(b, sizeof b, "%zu unexpected bytes at the end", n);
        why = b;
        return false;
    }
};

}  // namespace

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

void EncodeHeader(unsigned char* out, const FrameHeader& h) noexcept {
    StoreLe32(out, h.length);
    out[4] = h.kind;
    out[5] = h.flags;
    out[6] = static_cast<unsigned char>(h.depth);
    out[7] = static_cast<unsigned char>(h.depth >> 8);
    StoreLe32(out + 8, h.callId);
    StoreLe32(out + 12, static_cast<std::uint32_t>(h.chain));
    StoreLe32(out + 16, static_cast<std::uint32_t>(h.chain >> 32));
}

FrameHeader DecodeHeader(const unsigned char* in) noexcept {
    FrameHeader h;
    h.length = LoadLe32(in);
    h.kind = in[4];
    h.flags = in[5];
    h.depth = static_cast<std::uint16_t>(in[6] | in[7] << 8);
    h.callId = LoadLe32(in + 8);
    h.chain = LoadLe32(in + 12) | static_cast<std::uint64_t>(LoadLe32(in + 16)) << 32;
    return h;
}

std::string CheckHeader(const FrameHeader& h, std::size_t maxPayload) {
    char b[160];
    if (h.kind < static_cast<std::uint8_t>(FrameKind::Request) || h.kind > static_cast<std::uint8_t>(FrameKind::HelloAck)) {
        std::snprintf(b, sizeof b, "unknown frame kind %u", static_cast<unsigned>(h.kind));
        return b;
    }
    const std::uint8_t allowed = h.kind == static_cast<std::uint8_t>(FrameKind::Request) ? kFlagNoReply : 0;
    if ((h.flags & ~allowed) != 0) {
        std::snprintf(b, sizeof b, "frame flags 0x%02x on a %s frame", static_cast<unsigned>(h.flags),
                      h.kind == static_cast<std::uint8_t>(FrameKind::Request) ? "request" : "non-request");
        return b;
    }
    if (h.length > maxPayload) {
        std::snprintf(b, sizeof b, "frame of %u bytes exceeds the limit of %zu bytes", h.length, maxPayload);
        return b;
    }
    return {};
}

std::vector<unsigned char> EncodeHello(const Hello& hello) {
    std::vector<unsigned char> out(kMagic, kMagic + 4);
    PutU32(out, hello.version);
    PutU32(out, static_cast<std::uint32_t>(hello.modules.size()));
    for (const auto& m : hello.modules) PutName(out, m);
    return out;
}

std::vector<unsigned char> EncodeHelloAck(const HelloAck& ack) {
    std::vector<unsigned char> out(kMagic, kMagic + 4);
    PutU32(out, ack.version);
    PutName(out, ack.checksum);
    PutU32(out, static_cast<std::uint32_t>(ack.modules.size()));
    for (const auto& m : ack.modules) PutName(out, m);
    return out;
}

bool DecodeHello(const unsigned char* p, std::size_t n, Hello& out, std::string& why) {
    Cursor c{p, n, why};
    return c.Magic() && c.U32(out.version, "version") && c.Modules(out.modules) && c.End();
}

bool DecodeHelloAck(const unsigned char* p, std::size_t n, HelloAck& out, std::string& why) {
    Cursor c{p, n, why};
    return c.Magic() && c.U32(out.version, "version") && c.Name(out.checksum, "checksum") &&
           c.Modules(out.modules) && c.End();
}

namespace {

// Reads exactly n bytes before the deadline. `started` tells whether part of the frame came already.
HandshakeStatus ReadExact(int fd, unsigned char* p, std::size_t n, std::chrono::steady_clock::time_point deadline,
                          bool started, std::string& why) {
    std::size_t got = 0;
    while (got < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            why = "no complete handshake frame in time";
            return HandshakeStatus::Timeout;
        }
        pollfd pfd{fd, POLLIN, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count() + 1, 60000)));
        if (r < 0) {
            if (errno == EINTR) continue;
            why = "poll: " + ErrnoText(errno);
            return HandshakeStatus::Failed;
        }
        if (r == 0) continue;
        ssize_t k = ::recv(fd, p + got, n - got, MSG_DONTWAIT);
        if (k > 0) {
            got += static_cast<std::size_t>(k);
            started = true;
            continue;
        }
        if (k == 0) {
            why = started ? "the peer closed the connection inside a handshake frame"
                          : "the peer closed the connection during the handshake";
            return HandshakeStatus::Closed;
        }
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        if (errno == ECONNRESET) {
            why = "the peer reset the connection during the handshake";
            return HandshakeStatus::Closed;
        }
        why = "reading the handshake: " + ErrnoText(errno);
        return HandshakeStatus::Failed;
    }
    return HandshakeStatus::Ok;
}

}  // namespace

HandshakeStatus ReadHandshakeFrame(int fd, std::chrono::steady_clock::time_point deadline, FrameHeader& header,
                                   std::vector<unsigned char>& payload, std::string& why) {
    unsigned char h[kHeaderSize];
    HandshakeStatus st = ReadExact(fd, h, kHeaderSize, deadline, false, why);
    if (st != HandshakeStatus::Ok) return st;
    header = DecodeHeader(h);
    why = CheckHeader(header, kMaxHandshakeSize);
    if (!why.empty()) return HandshakeStatus::Malformed;
    payload.resize(header.length);
    if (header.length == 0) return HandshakeStatus::Ok;
    return ReadExact(fd, payload.data(), header.length, deadline, true, why);
}

namespace {

FrameHeader HeaderOf(FrameKind kind, std::uint32_t callId, std::uint64_t chain, std::uint16_t depth, std::size_t size,
                     std::uint8_t flags) {
    FrameHeader h;
    h.length = static_cast<std::uint32_t>(size);
    h.kind = static_cast<std::uint8_t>(kind);
    h.flags = flags;
    h.depth = depth;
    h.callId = callId;
    h.chain = chain;
    return h;
}

// Sends every byte of the iovecs, resuming after short writes.
bool SendAll(int fd, iovec* iov, std::size_t count, std::string& why, const BeforeWaiting* beforeWaiting) {
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    std::size_t left = 0;
    for (std::size_t i = 0; i < count; ++i) left += iov[i].iov_len;
    // Without waiting first, when someone must know before the write waits.
    int sendFlags = MSG_NOSIGNAL | (beforeWaiting != nullptr ? MSG_DONTWAIT : 0);
    while (left > 0) {
        ssize_t n = ::sendmsg(fd, &msg, sendFlags);
        if (n < 0) {
            if (errno == EINTR) continue;
            if ((sendFlags & MSG_DONTWAIT) != 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                (*beforeWaiting)();
                sendFlags &= ~MSG_DONTWAIT;
                continue;
            }
            why = "writing failed: " + ErrnoText(errno);
            return false;
        }
        left -= static_cast<std::size_t>(n);
        // Skip what went out; a short write leaves the rest of one iovec.
        std::size_t done = static_cast<std::size_t>(n);
        while (done > 0 && msg.msg_iovlen > 0) {
            if (done >= msg.msg_iov->iov_len) {
                done -= msg.msg_iov->iov_len;
                ++msg.msg_iov;
                --msg.msg_iovlen;
            } else {
                msg.msg_iov->iov_base = static_cast<char*>(msg.msg_iov->iov_base) + done;
                msg.msg_iov->iov_len -= done;
                done = 0;
            }
        }
    }
    return true;
}

}  // namespace

bool WriteBytesTo(int fd, const std::vector<unsigned char>& bytes, std::string& why,
                  const BeforeWaiting* beforeWaiting) {
    if (bytes.empty()) return true;
    iovec iov{const_cast<unsigned char*>(bytes.data()), bytes.size()};
    return SendAll(fd, &iov, 1, why, beforeWaiting);
}

void AppendFrame(std::vector<unsigned char>& out, FrameKind kind, std::uint32_t callId, std::uint64_t chain,
                 std::uint16_t depth, const void* payload, std::size_t size, std::uint8_t flags) {
    const std::size_t at = out.size();
    out.resize(at + kHeaderSize + size);
    EncodeHeader(out.data() + at, HeaderOf(kind, callId, chain, depth, size, flags));
    if (size != 0) std::memcpy(out.data() + at + kHeaderSize, payload, size);
}

bool WriteFrameTo(int fd, FrameKind kind, std::uint32_t callId, std::uint64_t chain, std::uint16_t depth,
                  const void* payload, std::size_t size, std::string& why, std::uint8_t flags,
                  const std::vector<unsigned char>* before, const BeforeWaiting* beforeWaiting) {
    unsigned char head[kHeaderSize];
    EncodeHeader(head, HeaderOf(kind, callId, chain, depth, size, flags));
    iovec iov[3];
    std::size_t count = 0;
    if (before != nullptr && !before->empty()) {
        iov[count++] = {const_cast<unsigned char*>(before->data()), before->size()};
    }
    iov[count++] = {head, kHeaderSize};
    if (size != 0) iov[count++] = {const_cast<void*>(payload), size};
    return SendAll(fd, iov, count, why, beforeWaiting);
}

}  // namespace zel::proglibs::ipc2::socket
