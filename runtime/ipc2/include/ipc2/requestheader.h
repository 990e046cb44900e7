// The header that begins every request, whichever transport carries it:
//
//   offset  size  field
//        0     4  object id, little-endian: the stub that receives the request (0: the root)
//        4     1  module id: the module's index in the connection's module list
//        5     4  method id, little-endian
//
// then the arguments. A reply has no header: it is the result's bytes alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ipc2/bytestream.h"

namespace zel::proglibs::ipc2 {

struct RequestHeader {
    static constexpr unsigned int kSize = 9;
    static constexpr std::size_t kModuleOffset = 4;
    static constexpr std::size_t kMethodOffset = 5;

    std::int32_t objectId = 0;
    unsigned char module = 0;
    std::int32_t methodId = 0;

    // Appends the header: a request is written header first, then its arguments.
    ZEL_IPC2_ALWAYS_INLINE void WriteTo(ByteStream& s) const {
        unsigned char* p = s.Extend(kSize);
        StoreLe32(p, static_cast<std::uint32_t>(objectId));
        p[kModuleOffset] = module;
        StoreLe32(p + kMethodOffset, static_cast<std::uint32_t>(methodId));
    }

    // What a stub reads once the runtime has consumed the object id to find it: the module byte is
    // skipped, the method id returned.
    static ZEL_IPC2_ALWAYS_INLINE std::int32_t ReadMethodId(ByteStream& s) {
        s.Read(1);
        return static_cast<std::int32_t>(LoadLe32(s.Read(4)));
    }
};

// A request's header as the runtime sees it in passing, without consuming it: for the call log,
// the Send flag and error texts. A message too short for a field leaves it unknown (-1).
struct PeekedHeader {
    long objectId = -1;
    int module = -1;
    long methodId = -1;
    bool complete = false;  // all three fields were there

    // Reads from `data` (where the header starts), `size` bytes at most.
    static PeekedHeader Of(const unsigned char* data, std::size_t size) noexcept {
        PeekedHeader h;
        if (size >= 4) h.objectId = static_cast<std::int32_t>(LoadLe32(data));
        if (size > RequestHeader::kModuleOffset) h.module = data[RequestHeader::kModuleOffset];
        if (size >= RequestHeader::kSize) {
            h.methodId = static_cast<std::int32_t>(LoadLe32(data + RequestHeader::kMethodOffset));
            h.complete = true;
        }
        return h;
    }
    static PeekedHeader Of(const ByteStream& message, std::size_t at = 0) noexcept {
        return at <= message.Size() ? Of(message.Data() + at, message.Size() - at) : PeekedHeader{};
    }
    // "object 7 method 12": the call the message is, for error texts.
    std::string Describe() const;
};

}  // namespace zel::proglibs::ipc2
