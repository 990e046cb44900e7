#include "ipc2/marshallers.h"

#include <cstdint>

namespace zel::proglibs::ipc2::wire {

void PutString(ByteStream& s, const std::string& v) {
    if (v.size() > static_cast<std::size_t>(INT32_MAX))
        throw StreamError("string of " + std::to_string(v.size()) + " bytes is too long for a message");
    WriteLe32(s, static_cast<std::int32_t>(v.size()));
    s.Write(v.data(), static_cast<unsigned int>(v.size()));
}

std::string GetString(ByteStream& s) {
    const std::int32_t length = ReadLe32(s);
    // The length comes from the peer: check it against what arrived before trusting it with an
    // allocation.
    if (length < 0 || static_cast<std::size_t>(length) > s.Remaining())
        throw StreamError("string length " + std::to_string(length) + " with " + std::to_string(s.Remaining()) +
                          " bytes remaining in the message");
    const auto n = static_cast<unsigned int>(length);
    return std::string(reinterpret_cast<const char*>(s.Read(n)), n);
}

}  // namespace zel::proglibs::ipc2::wire
