#include "handshake.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "channel.h"
#include "fd.h"
#include "frame_writer.h"

namespace zel::proglibs::ipc2::socket {

namespace {

enum class ReadStatus { Ok, Timeout, Closed, Failed, Malformed };

// Reads exactly n bytes before the deadline. `started`: part of the frame came already.
ReadStatus ReadExact(int fd, unsigned char* p, std::size_t n, Deadline deadline, bool started, std::string& why) {
    std::size_t got = 0;
    while (got < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            why = "no complete handshake frame in time";
            return ReadStatus::Timeout;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int r = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count() + 1, 60000)));
        if (r < 0 && errno != EINTR) {
            why = "poll: " + ErrnoText(errno);
            return ReadStatus::Failed;
        }
        if (r <= 0) continue;
        const ssize_t k = ::recv(fd, p + got, n - got, MSG_DONTWAIT);
        if (k > 0) {
            got += static_cast<std::size_t>(k);
            started = true;
        } else if (k == 0 || errno == ECONNRESET) {
            why = k == 0 && started ? "the peer closed the connection inside a handshake frame"
                  : k == 0          ? "the peer closed the connection during the handshake"
                                    : "the peer reset the connection during the handshake";
            return ReadStatus::Closed;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            why = "reading the handshake: " + ErrnoText(errno);
            return ReadStatus::Failed;
        }
    }
    return ReadStatus::Ok;
}

// One handshake frame, held to the handshake's size bound.
ReadStatus ReadHandshakeFrame(int fd, Deadline deadline, FrameHeader& header, std::vector<unsigned char>& payload,
                              std::string& why) {
    unsigned char h[FrameHeader::kSize];
    const ReadStatus st = ReadExact(fd, h, FrameHeader::kSize, deadline, false, why);
    if (st != ReadStatus::Ok) return st;
    header = FrameHeader::Decode(h);
    why = CheckHeader(header, kMaxHandshakeSize);
    if (!why.empty()) return ReadStatus::Malformed;
    payload.resize(header.length);
    if (header.length == 0) return ReadStatus::Ok;
    return ReadExact(fd, payload.data(), header.length, deadline, true, why);
}

FrameHeader HandshakeFrame(FrameKind kind, std::uint32_t callId, std::size_t size) {
    FrameHeader h;
    h.length = static_cast<std::uint32_t>(size);
    h.kind = kind;
    h.callId = callId;
    return h;
}

bool Refuse(Channel& channel, std::uint32_t callId, const std::string& reason) {
    // The client reads no handshake frame past its bound: a longer reason (an exception's text from
    // admission) is cut rather than lost.
    const std::size_t size = std::min(reason.size(), kMaxHandshakeSize);
    channel.WriteFrame(HandshakeFrame(FrameKind::Error, callId, size), reason.data());
    channel.Fail("handshake refused: " + reason, true);
    return false;
}

}  // namespace

bool ReadHello(Channel& channel, Deadline deadline, Hello& hello, std::uint32_t& callId) {
    FrameHeader h;
    std::vector<unsigned char> payload;
    std::string why;
    ReadStatus st;
    {
        FdUse use(channel.Fd());
        if (use.fd() < 0) return false;
        st = ReadHandshakeFrame(use.fd(), deadline, h, payload, why);
    }
    callId = h.callId;
    if (st != ReadStatus::Ok) {
        // A peer that connects and leaves without a word (someone checking whether we are alive)
        // is no fault.
        channel.Fail("handshake: " + why, st != ReadStatus::Closed);
        return false;
    }
    if (h.kind != FrameKind::Hello)
        return Refuse(channel, callId, "expected a hello frame, got kind " + std::to_string(static_cast<unsigned>(h.kind)));
    if (!DecodeHello(payload.data(), payload.size(), hello, why)) return Refuse(channel, callId, "bad hello: " + why);
    if (hello.version != kProtocolVersion) {
        return Refuse(channel, callId,
                      "protocol version " + std::to_string(hello.version) + " is not supported (this server speaks " +
                          std::to_string(kProtocolVersion) + ")");
    }
    return true;
}

bool AnswerHello(Channel& channel, std::uint32_t callId, const Hello& hello, const Admit& admit) {
    // Admission runs before the client hears yes: a client refused there (the name is no longer
    // served, a module is not, the connector's ClientConnected threw) sees its connect fail with
    // the reason, rather than succeed and lose the connection at its first call.
    Admitted admitted;
    try {
        admitted = admit(hello, channel);
    } catch (const std::exception& e) {
        return Refuse(channel, callId, *e.what() != '\0' ? e.what() : "the server refused the connection");
    } catch (...) {
        return Refuse(channel, callId, "the server refused the connection");
    }
    const auto ack = EncodeHelloAck(HelloAck{kProtocolVersion, std::move(admitted.checksum), std::move(admitted.modules)});
    if (!channel.WriteFrame(HandshakeFrame(FrameKind::HelloAck, callId, ack.size()), ack.data())) return false;
    return channel.IsOpen();
}

HandshakeStatus SayHello(int fd, const std::vector<std::string>& modules, Deadline deadline, HelloAck& ack,
                         std::string& why) {
    const auto hello = EncodeHello(Hello{kProtocolVersion, modules});
    if (hello.size() > kMaxHandshakeSize) {
        why = "the module list is too long";
        return HandshakeStatus::Failed;
    }
    // A server that refuses us at the door says why and closes, perhaps before our hello is out:
    // its reason is still there to read.
    std::string writeFailed;
    WriteFrameTo(fd, HandshakeFrame(FrameKind::Hello, 1, hello.size()), hello.data(), writeFailed);
    FrameHeader h;
    std::vector<unsigned char> payload;
    const ReadStatus st = ReadHandshakeFrame(fd, deadline, h, payload, why);
    if (!writeFailed.empty() && (st != ReadStatus::Ok || h.kind != FrameKind::Error)) {
        why = writeFailed;
        return HandshakeStatus::Failed;
    }
    if (st == ReadStatus::Timeout) return HandshakeStatus::Timeout;
    if (st != ReadStatus::Ok) {
        why = "handshake: " + why;
        return HandshakeStatus::Failed;
    }
    if (h.kind == FrameKind::Error) {
        why = "the server refused the connection: " + std::string(payload.begin(), payload.end());
        return HandshakeStatus::Failed;
    }
    if (h.kind != FrameKind::HelloAck) {
        why = "the server answered the hello with a frame of kind " + std::to_string(static_cast<unsigned>(h.kind));
        return HandshakeStatus::Failed;
    }
    if (!DecodeHelloAck(payload.data(), payload.size(), ack, why)) {
        why = "bad hello-ack: " + why;
        return HandshakeStatus::Failed;
    }
    if (ack.version != kProtocolVersion) {
        why = "the server speaks protocol version " + std::to_string(ack.version) + ", this client " +
              std::to_string(kProtocolVersion);
        return HandshakeStatus::Failed;
    }
    return HandshakeStatus::Ok;
}

}  // namespace zel::proglibs::ipc2::socket
