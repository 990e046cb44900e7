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

#include <memory>
#include <string>

#include "ipc2/bytestream.h"

namespace zel::proglibs::ipc2 {

class ConnectionHandler;

namespace wire {

inline void PutInt(ByteStream& s, int v) { WriteLe32(s, v); }
inline int GetInt(ByteStream& s) { return ReadLe32(s); }
inline void PutByte(ByteStream& s, unsigned char v) { s.Write(&v, 1); }
inline unsigned char GetByte(ByteStream& s) { return *s.Read(1); }
inline void PutBool(ByteStream& s, bool v) { PutByte(s, v ? 1 : 0); }
inline bool GetBool(ByteStream& s) { return GetByte(s) != 0; }
inline int SizeOfString(const std::string& v) { return 4 + static_cast<int>(v.size()); }
void PutString(ByteStream& s, const std::string& v);
std::string GetString(ByteStream& s);

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
