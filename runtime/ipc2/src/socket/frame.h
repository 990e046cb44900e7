// The bytes on the socket. Every message is one frame: a fixed header, then the payload.
//
//   offset  size  field
//        0     4  payload length (bytes after the header)
//        4     1  kind: 1 request, 2 reply, 3 error, 4 hello, 5 hello-ack
//        5     1  flags: bit 0 on a request: one-way, the peer sends no reply (releases); any
//                 other bit, or bit 0 on another kind, is refused so a later use cannot be misread
//        6     2  depth: a request's place in its chain (1: made by no request); echoed in replies
//        8     4  call id: picked by the caller, echoed in the reply or error
//       12     8  chain id: the chain of nested calls a request belongs to (bit 0: 1 when the
//                 chain started on the server side), echoed in replies
//
// All numbers little-endian. Payloads:
//   request    object id (4), module (1), method id (4), arguments
//   reply      the reply stream's bytes
//   error      the reason, text
//   hello      "zipc", version (u32), module count (u32), modules (u32 length + bytes each)
//   hello-ack  "zipc", version (u32), checksum (u32 length + bytes), module count, modules
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zel::proglibs::ipc2::socket {

enum class FrameKind : std::uint8_t { Request = 1, Reply = 2, Error = 3, Hello = 4, HelloAck = 5 };

constexpr std::size_t kHeaderSize = 20;
constexpr std::uint32_t kProtocolVersion = 2;
constexpr std::uint8_t kFlagNoReply = 0x01;
// The hello comes from a peer nobody has vetted yet: keep what it can make us allocate small.
constexpr std::size_t kMaxHandshakeSize = 64 * 1024;
constexpr std::size_t kMaxModules = 255;  // module ids are one byte
constexpr std::size_t kMaxNameSize = 1024;

struct FrameHeader {
    std::uint32_t length = 0;
    std::uint8_t kind = 0;
    std::uint8_t flags = 0;
    std::uint16_t depth = 0;
    std::uint32_t callId = 0;
    std::uint64_t chain = 0;
};

void EncodeHeader(unsigned char* out, const FrameHeader& h) noexcept;
FrameHeader DecodeHeader(const unsigned char* in) noexcept;
// Empty when the header may be followed; otherwise why the connection must be dropped.
std::string CheckHeader(const FrameHeader& h, std::size_t maxPayload);

struct Hello {
    std::uint32_t version = kProtocolVersion;
    std::vector<std::string> modules;
};

struct HelloAck {
    std::uint32_t version = kProtocolVersion;
    std::string checksum;
    std::vector<std::string> modules;
};

std::vector<unsigned char> EncodeHello(const Hello& hello);
std::vector<unsigned char> EncodeHelloAck(const HelloAck& ack);
// False with the reason in `why` when the payload is not a well-formed hello (or hello-ack).
bool DecodeHello(const unsigned char* p, std::size_t n, Hello& out, std::string& why);
bool DecodeHelloAck(const unsigned char* p, std::size_t n, HelloAck& out, std::string& why);

// Blocking helpers for the handshake, before a connection is served. They read exactly one frame
// and never past it, so whatever the peer sent next is left for the connection's reader.
enum class HandshakeStatus { Ok, Timeout, Closed, Failed, Malformed };

HandshakeStatus ReadHandshakeFrame(int fd, std::chrono::steady_clock::time_point deadline, FrameHeader& header,
                                   std::vector<unsigned char>& payload, std::string& why);
// Called at most once by a write, when it is about to wait for the peer to read: a writer that
// holds what must not wait with it (the connection's read token) lets go of it there.
using BeforeWaiting = std::function<void()>;

// False with the reason in `why`; never raises SIGPIPE. `before`, when given, holds whole frames
// that go out ahead of this one in the same write.
bool WriteFrameTo(int fd, FrameKind kind, std::uint32_t callId, std::uint64_t chain, std::uint16_t depth,
                  const void* payload, std::size_t size, std::string& why, std::uint8_t flags = 0,
                  const std::vector<unsigned char>* before = nullptr, const BeforeWaiting* beforeWaiting = nullptr);
// Sends bytes that hold whole frames, as WriteFrameTo does.
bool WriteBytesTo(int fd, const std::vector<unsigned char>& bytes, std::string& why,
                  const BeforeWaiting* beforeWaiting = nullptr);
// Appends a whole frame to `out`, for a later write.
void AppendFrame(std::vector<unsigned char>& out, FrameKind kind, std::uint32_t callId, std::uint64_t chain,
                 std::uint16_t depth, const void* payload, std::size_t size, std::uint8_t flags);

std::string ErrnoText(int error);

}  // namespace zel::proglibs::ipc2::socket
