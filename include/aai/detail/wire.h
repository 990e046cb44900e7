// The framing that proxies, stubs and references share: the request header and the object id.
#pragma once

#include <cstdint>

#include "ipc2/bytestream.h"

namespace zel::iface::aai::detail {

// Object id (4, little-endian), module id (1), method id (4, little-endian).
constexpr int kHeaderSize = 9;
// An interface reference is the object id alone, four raw little-endian bytes.
constexpr int kReferenceSize = 4;
// Written in place of a reference that cannot be sent; the runtime numbers objects from 0 up, so
// a negative id names no object and the receiver decodes it as a failed reference.
constexpr std::int32_t kNoObject = -1;

inline void WriteHeader(proglibs::ipc2::ByteStream& s, int objectId, unsigned char module, int methodId) {
    unsigned char header[kHeaderSize];
    proglibs::ipc2::StoreLe32(header, static_cast<std::uint32_t>(objectId));
    header[4] = module;
    proglibs::ipc2::StoreLe32(header + 5, static_cast<std::uint32_t>(methodId));
    s.Write(header, kHeaderSize);
}

// What a stub reads of the header: the runtime has consumed the object id; the module byte is
// skipped unread, the method id taken straight from its bytes.
inline int ReadMethodId(proglibs::ipc2::ByteStream& s) {
    s.Read(1);
    return static_cast<std::int32_t>(proglibs::ipc2::LoadLe32(s.Read(4)));
}

inline void WriteObjectId(proglibs::ipc2::ByteStream& s, std::int32_t id) { proglibs::ipc2::WriteLe32(s, id); }
inline std::int32_t ReadObjectId(proglibs::ipc2::ByteStream& s) { return proglibs::ipc2::ReadLe32(s); }

}  // namespace zel::iface::aai::detail
