// The framing that proxies, stubs and references share: the request header and the object id.
#pragma once

#include <cstdint>

#include "ipc2/bytestream.h"
#include "ipc2/requestheader.h"

namespace zel::iface::aai::detail {

// The runtime's request header: object id, module id, method id (ipc2/requestheader.h).
constexpr int kHeaderSize = proglibs::ipc2::RequestHeader::kSize;
// An interface reference is the object id alone, four raw little-endian bytes.
constexpr int kReferenceSize = 4;
// Written in place of a reference that cannot be sent; the runtime numbers objects from 0 up, so
// a negative id names no object and the receiver decodes it as a failed reference.
constexpr std::int32_t kNoObject = -1;

inline void WriteHeader(proglibs::ipc2::ByteStream& s, int objectId, unsigned char module, int methodId) {
    proglibs::ipc2::RequestHeader{objectId, module, methodId}.WriteTo(s);
}

// What a stub reads of the header: the runtime has consumed the object id; the module byte is
// skipped unread, the method id taken straight from its bytes.
inline int ReadMethodId(proglibs::ipc2::ByteStream& s) { return proglibs::ipc2::RequestHeader::ReadMethodId(s); }

inline void WriteObjectId(proglibs::ipc2::ByteStream& s, std::int32_t id) { proglibs::ipc2::WriteLe32(s, id); }
inline std::int32_t ReadObjectId(proglibs::ipc2::ByteStream& s) { return proglibs::ipc2::ReadLe32(s); }

}  // namespace zel::iface::aai::detail
