// One message buffer: written front to back, then read front to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ipc2/errors.h"

namespace zel::proglibs::ipc2 {

// A growable byte buffer with a read position. Short messages (the common case: headers, ids,
// small records) live in an inline buffer, so a stream costs no allocation beyond its own.
//
// Read never goes past what was written: asking for more throws StreamError naming the byte
// counts. The pointer that Read returns stays valid until the next Write.
//
// Not thread-safe: a stream belongs to one call at a time.
class ByteStream {
public:
    ByteStream() noexcept = default;
    explicit ByteStream(std::size_t capacity);
    ByteStream(const void* data, std::size_t size);
    ~ByteStream();
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;

    // Consumes the next n bytes and returns a pointer to them.
    unsigned char* Read(unsigned int n) {
        if (n > size_ - position_) ThrowShortRead(n);
        unsigned char* p = data_ + position_;
        position_ += n;
        return p;
    }

    // Appends n bytes.
    void Write(const void* p, unsigned int n) {
        if (n > capacity_ - size_) Grow(n);
        if (n != 0) std::memcpy(data_ + size_, p, n);
        size_ += n;
    }

    std::size_t Size() const noexcept { return size_; }
    std::size_t Position() const noexcept { return position_; }
    std::size_t Remaining() const noexcept { return size_ - position_; }
    const unsigned char* Data() const noexcept { return data_; }
    unsigned char* Data() noexcept { return data_; }

    // Makes room for at least `capacity` bytes in all.
    void Reserve(std::size_t capacity);
    // Sets the read position (at most Size()).
    void Seek(std::size_t position);
    // Empties the stream for reuse, keeping its storage.
    void Clear() noexcept { size_ = position_ = 0; }
    // Appends n uninitialised bytes and returns where they start (for readers filling a frame).
    unsigned char* Extend(std::size_t n);

private:
    static constexpr std::size_t kInline = 64;
    [[noreturn]] void ThrowShortRead(unsigned int n) const;
    void Grow(std::size_t more);

    unsigned char inline_[kInline];
    unsigned char* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
    std::size_t position_ = 0;
};

// Little-endian 32-bit values at any address, on every platform, without unaligned access.
inline void StoreLe32(unsigned char* p, std::uint32_t v) noexcept {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline std::uint32_t LoadLe32(const unsigned char* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void WriteLe32(ByteStream& s, std::int32_t v) {
    unsigned char b[4];
    StoreLe32(b, static_cast<std::uint32_t>(v));
    s.Write(b, 4);
}

inline std::int32_t ReadLe32(ByteStream& s) {
    return static_cast<std::int32_t>(LoadLe32(s.Read(4)));
}

}  // namespace zel::proglibs::ipc2
