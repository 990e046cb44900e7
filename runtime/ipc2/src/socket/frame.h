// The bytes on a socket. Every message is one frame: a fixed header, then the payload.
//
//   offset  size  field
//        0     4  payload length (bytes after the header)
//        4     1  kind: 1 request, 2 reply, 3 error, 4 hello, 5 hello-ack, 6 cancel
//        5     1  flags: on a request, bit 0: one-way, the peer sends no reply (releases); bit 2:
//                 the header goes on with a budget (below). On an error, bit 1: a limit of the
//                 peer's refused the request (the caller's LimitError) rather than a failure to
//                 process it. Any other bit, or a bit on another kind, is refused, so that a later
//                 use cannot be misread
//        6     2  depth: a request's place in its chain (1: made by no request); echoed in replies
//        8     4  call id: picked by the caller, echoed in the reply or error
//       12     8  chain id: the chain of nested calls a request belongs to (bit 0: 1 when the
//                 chain started on the server side), echoed in replies
//       20     4  budget, on a request with flag bit 2 only: the milliseconds its caller still
//                 waits for the answer (at least 1), which bound the calls the request makes
//
// All numbers little-endian. Payloads:
//   request    the request: its header (ipc2/requestheader.h), then the arguments
//   reply      the reply stream's bytes
//   error      the reason, text
//   hello      "zipc", version (u32), module count (u32), modules (u32 length + bytes each)
//   hello-ack  "zipc", version (u32), checksum (u32 length + bytes), module count, modules
//   cancel     nothing: the caller of the request of its call id and chain gave up on it
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ipc2/bytestream.h"
#include "served_calls.h"

namespace zel::proglibs::ipc2::socket {

enum class FrameKind : std::uint8_t { Request = 1, Reply = 2, Error = 3, Hello = 4, HelloAck = 5, Cancel = 6 };

// Version 3 added the over-limit flag of error frames, version 4 the budget of requests, version 5
// the cancel frame.
constexpr std::uint32_t kProtocolVersion = 5;
constexpr std::uint8_t kFlagNoReply = 0x01;
constexpr std::uint8_t kFlagOverLimit = 0x02;
constexpr std::uint8_t kFlagBudget = 0x04;
// The hello comes from a peer nobody has vetted yet: keep what it can make us allocate small.
constexpr std::size_t kMaxHandshakeSize = 64 * 1024;
constexpr std::size_t kMaxModules = 255;  // module ids are one byte
constexpr std::size_t kMaxNameSize = 1024;

struct FrameHeader {
    static constexpr std::size_t kSize = 20;      // the fixed part
    static constexpr std::size_t kMaxSize = 24;   // with a budget

    std::uint32_t length = 0;
    FrameKind kind = FrameKind::Request;
    std::uint8_t flags = 0;
    std::uint16_t depth = 0;
    std::uint32_t callId = 0;
    std::uint64_t chain = 0;
    std::uint32_t budgetMs = 0;  // with kFlagBudget

    // This header's bytes: the fixed part, and the budget when flagged.
    std::size_t Size() const noexcept { return HasBudget() ? kMaxSize : kSize; }
    void Encode(unsigned char* out) const noexcept;
    // Decodes the fixed part of any bytes; Check says whether they make a header to follow. The
    // budget, when flagged, is read with DecodeBudget from the bytes that follow.
    static FrameHeader Decode(const unsigned char* in) noexcept;
    void DecodeBudget(const unsigned char* in) noexcept;
    bool IsOneWay() const noexcept { return kind == FrameKind::Request && (flags & kFlagNoReply) != 0; }
    bool HasBudget() const noexcept { return kind == FrameKind::Request && (flags & kFlagBudget) != 0; }
};

// Empty when the header may be followed; otherwise why the connection must be dropped.
std::string CheckHeader(const FrameHeader& h, std::size_t maxPayload);
const char* KindName(FrameKind kind) noexcept;

// A frame read whole.
struct Frame {
    FrameHeader header;
    std::shared_ptr<ByteStream> payload;
    // A request's depth as counted on this side (see Channel::RouteRequest), and until when its
    // caller waits, by this side's clock (time_point::max() without a budget).
    int depth = 0;
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    // Where the peer's giving up on the request shows, for a request that can be given up on.
    ServedCall* served = nullptr;
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
