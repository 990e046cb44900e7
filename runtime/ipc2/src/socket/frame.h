// The bytes on a socket. Every message is one frame: a fixed header, then the payload.
//
//   offset  size  field
//        0     4  payload length (bytes after the header)
//        4     1  kind: 1 request, 2 reply, 3 error, 4 hello, 5 hello-ack
//        5     1  flags: on a request, bit 0: one-way, the peer sends no reply (releases); on an
//                 error, bit 1: a limit of the peer's refused the request (the caller's LimitError)
//                 rather than a failure to process it. Any other bit, or a bit on another kind, is
//                 refused, so that a later use cannot be misread
//        6     2  depth: a request's place in its chain (1: made by no request); echoed in replies
//        8     4  call id: picked by the caller, echoed in the reply or error
//       12     8  chain id: the chain of nested calls a request belongs to (bit 0: 1 when the
//                 chain started on the server side), echoed in replies
//
// All numbers little-endian. Payloads:
//   request    the request: its header (ipc2/requestheader.h), then the arguments
//   reply      the reply stream's bytes
//   error      the reason, text
//   hello      "zipc", version (u32), module count (u32), modules (u32 length + bytes each)
//   hello-ack  "zipc", version (u32), checksum (u32 length + bytes), module count, modules
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ipc2/bytestream.h"

namespace zel::proglibs::ipc2::socket {

enum class FrameKind : std::uint8_t { Request = 1, Reply = 2, Error = 3, Hello = 4, HelloAck = 5 };

// Version 3 added the over-limit flag of error frames.
constexpr std::uint32_t kProtocolVersion = 3;
constexpr std::uint8_t kFlagNoReply = 0x01;
constexpr std::uint8_t kFlagOverLimit = 0x02;
// The hello comes from a peer nobody has vetted yet: keep what it can make us allocate small.
constexpr std::size_t kMaxHandshakeSize = 64 * 1024;
constexpr std::size_t kMaxModules = 255;  // module ids are one byte
constexpr std::size_t kMaxNameSize = 1024;

struct FrameHeader {
    static constexpr std::size_t kSize = 20;

    std::uint32_t length = 0;
    FrameKind kind = FrameKind::Request;
    std::uint8_t flags = 0;
    std::uint16_t depth = 0;
    std::uint32_t callId = 0;
    std::uint64_t chain = 0;

    void Encode(unsigned char* out) const noexcept;
    // Decodes any bytes; Check says whether they make a header to follow.
    static FrameHeader Decode(const unsigned char* in) noexcept;
    bool IsOneWay() const noexcept { return kind == FrameKind::Request && (flags & kFlagNoReply) != 0; }
};

// Empty when the header may be followed; otherwise why the connection must be dropped.
std::string CheckHeader(const FrameHeader& h, std::size_t maxPayload);
const char* KindName(FrameKind kind) noexcept;

// A frame read whole.
struct Frame {
    FrameHeader header;
    std::shared_ptr<ByteStream> payload;
    // A request's depth as counted on this side (see Channel::RouteRequest).
    int depth = 0;
};

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

}  // namespace zel::proglibs::ipc2::socket
