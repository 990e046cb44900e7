// Encodings of the primitive types.
//
//   int     4 bytes, little-endian two's complement
//   byte    1 byte
//   bool    1 byte, 0 or 1 (any non-zero byte decodes as true)
//   string  its length as an int, then the bytes (binary-safe; no terminator)
//
// Every Decode checks what it reads against what remains in the stream and throws StreamError
// otherwise; a hostile length never allocates. The ByteStream& overloads in `wire` are what the
// marshallers are made of; generated code calls them to avoid reference counting per field.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "ipc2/bytestream.h"

namespace zel::proglibs::ipc2 {

class ConnectionHandler;

namespace wire {

ZEL_IPC2_ALWAYS_INLINE void PutInt(ByteStream& s, int v) { WriteLe32(s, v); }
ZEL_IPC2_ALWAYS_INLINE int GetInt(ByteStream& s) { return ReadLe32(s); }
ZEL_IPC2_ALWAYS_INLINE void PutByte(ByteStream& s, unsigned char v) { s.Write(&v, 1); }
ZEL_IPC2_ALWAYS_INLINE unsigned char GetByte(ByteStream& s) { return *s.Read(1); }
ZEL_IPC2_ALWAYS_INLINE void PutBool(ByteStream& s, bool v) { PutByte(s, v ? 1 : 0); }
ZEL_IPC2_ALWAYS_INLINE bool GetBool(ByteStream& s) { return GetByte(s) != 0; }
inline int SizeOfString(const std::string& v) { return 4 + static_cast<int>(v.size()); }

[[noreturn]] void ThrowStringTooLong(std::size_t size);
[[noreturn]] void ThrowBadStringLength(std::int32_t length, std::size_t remaining);

// Inline, because records are mostly strings: a call per string into the runtime cost more than
// the string's bytes. The length and the bytes go in with one check of the room.
ZEL_IPC2_ALWAYS_INLINE void PutString(ByteStream& s, const std::string& v) {
    if (v.size() > static_cast<std::size_t>(INT32_MAX)) ThrowStringTooLong(v.size());
    unsigned char* p = s.Extend(4 + v.size());
    StoreLe32(p, static_cast<std::uint32_t>(v.size()));
    ByteStream::CopyBytes(p + 4, v.data(), v.size());
}

// Replaces `out` with the n bytes at p, building the string in `out`'s own place: the general
// assign() and a move from a temporary each cost more than the copy of a typical field (the library
// keeps assign() out of line; a move has to allow for storage on both sides and hand the old
// buffer back).
ZEL_IPC2_ALWAYS_INLINE void AssignString(std::string& out, const char* p, std::size_t n) {
    out.~basic_string();
    try {
        ::new (static_cast<void*>(&out)) std::string(p, p + n);
    } catch (...) {
        // Out of memory: leave a valid empty string behind for its owner to destroy.
        ::new (static_cast<void*>(&out)) std::string();
        throw;
    }
}

// Reads a string into `out`. The length comes from the peer and is checked against what arrived
// before it is trusted with an allocation.
ZEL_IPC2_ALWAYS_INLINE void GetString(ByteStream& s, std::string& out) {
    const std::int32_t length = ReadLe32(s);
    if (length < 0 || static_cast<std::size_t>(length) > s.Remaining()) ThrowBadStringLength(length, s.Remaining());
    const auto n = static_cast<unsigned int>(length);
    AssignString(out, reinterpret_cast<const char*>(s.Read(n)), n);
}

inline std::string GetString(ByteStream& s) {
    std::string v;
    GetString(s, v);
    return v;
}

}  // namespace wire

struct IntMarshaller {
    static void Encode(std::shared_ptr<ByteStream> s, int v, std::shared_ptr<ConnectionHandler>) { wire::PutInt(*s, v); }
    static int Decode(std::shared_ptr<ByteStream> s, std::shared_ptr<ConnectionHandler>) { return wire::GetInt(*s); }
    static int SizeOf(int) { return 4; }
};

struct ByteMarshaller {
    static void Encode(std::shared_ptr<ByteStream> s, unsigned char v, std::shared_ptr<ConnectionHandler>) { wire::PutByte(*s, v); }
    static unsigned char Decode(std::shared_ptr<ByteStream> s, std::shared_ptr<ConnectionHandler>) { return wire::GetByte(*s); }
    static int SizeOf(unsigned char) { return 1; }
};

struct BoolMarshaller {
    static void Encode(std::shared_ptr<ByteStream> s, bool v, std::shared_ptr<ConnectionHandler>) { wire::PutBool(*s, v); }
    static bool Decode(std::shared_ptr<ByteStream> s, std::shared_ptr<ConnectionHandler>) { return wire::GetBool(*s); }
    static int SizeOf(bool) { return 1; }
};

struct StringMarshaller {
    static void Encode(std::shared_ptr<ByteStream> s, const std::string& v, std::shared_ptr<ConnectionHandler>) { wire::PutString(*s, v); }
    static std::string Decode(std::shared_ptr<ByteStream> s, std::shared_ptr<ConnectionHandler>) { return wire::GetString(*s); }
    static int SizeOf(const std::string& v) { return wire::SizeOfString(v); }
};

}  // namespace zel::proglibs::ipc2
