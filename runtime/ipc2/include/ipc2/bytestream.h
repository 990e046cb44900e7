// One message buffer: written front to back, then read front to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ipc2/errors.h"

// The stream's per-byte helpers are a few instructions each and sit in every codec's loop: left to
// its heuristics the compiler keeps some of them out of line in large record codecs, and in a
// shared library such a call goes through the PLT.
#if defined(__GNUC__)
#define ZEL_IPC2_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ZEL_IPC2_ALWAYS_INLINE inline
#endif

namespace zel::proglibs::ipc2 {

// A growable byte buffer with a read position. Short messages (the common case: headers, ids,
// records) live in an inline buffer, so a stream costs no allocation beyond its own.
//
// Read never goes past what was written: asking for more throws StreamError naming the byte
// counts. The pointer that Read returns stays valid until the next Write.
//
// Not thread-safe: a stream belongs to one call at a time.
class ByteStream {
public:
    // User-provided, so that value-initialising a stream (make_shared<ByteStream>()) does not zero
    // the inline buffer first.
    ByteStream() noexcept {}
    explicit ByteStream(std::size_t capacity) {
        if (capacity > kInline) Reserve(capacity);
    }
    ByteStream(const void* data, std::size_t size);
    ~ByteStream() {
        if (data_ != inline_) delete[] data_;
    }
    ByteStream(const ByteStream&) = delete;
    ByteStream& operator=(const ByteStream&) = delete;

    // Consumes the next n bytes and returns a pointer to them.
    ZEL_IPC2_ALWAYS_INLINE unsigned char* Read(unsigned int n) {
        if (n > size_ - position_) ThrowShortRead(n);
        unsigned char* p = data_ + position_;
        position_ += n;
        return p;
    }

    // Appends n bytes.
    ZEL_IPC2_ALWAYS_INLINE void Write(const void* p, unsigned int n) {
        if (n > capacity_ - size_) Grow(n);
        CopyBytes(data_ + size_, p, n);
        size_ += n;
    }

    // Appends n uninitialised bytes and returns where they start: a writer that knows the size of
    // what it writes checks the room once.
    ZEL_IPC2_ALWAYS_INLINE unsigned char* Extend(std::size_t n) {
        if (n > capacity_ - size_) Grow(n);
        unsigned char* p = data_ + size_;
        size_ += n;
        return p;
    }

    // Copies n bytes without a library call for the short runs that values are made of (a call
    // costs more than the copy there); longer runs go to memcpy.
    static ZEL_IPC2_ALWAYS_INLINE void CopyBytes(unsigned char* to, const void* from, std::size_t n) noexcept {
        const auto* f = static_cast<const unsigned char*>(from);
        if (n >= 8) {
            if (n > 64) {
                std::memcpy(to, f, n);
            } else if (n > 32) {
                std::memcpy(to, f, 32);
                std::memcpy(to + n - 32, f + n - 32, 32);
            } else if (n > 16) {
                std::memcpy(to, f, 16);
                std::memcpy(to + n - 16, f + n - 16, 16);
            } else {
                std::memcpy(to, f, 8);
                std::memcpy(to + n - 8, f + n - 8, 8);
            }
        } else if (n >= 4) {
            std::memcpy(to, f, 4);
            std::memcpy(to + n - 4, f + n - 4, 4);
        } else if (n != 0) {
            to[0] = f[0];
            to[n / 2] = f[n / 2];
            to[n - 1] = f[n - 1];
        }
    }

    std::size_t Size() const noexcept { return size_; }
    std::size_t Position() const noexcept { return position_; }
    std::size_t Remaining() const noexcept { return size_ - position_; }
    const unsigned char* Data() const noexcept { return data_; }
    unsigned char* Data() noexcept { return data_; }

    // Makes room for at least `capacity` bytes in all.
    void Reserve(std::size_t capacity);
    // Sets the read position (at most Size()).
    void Seek(std::size_t position) {
        if (position > size_) ThrowBadSeek(position);
        position_ = position;
    }
    // Empties the stream for reuse, keeping its storage.
    void Clear() noexcept { size_ = position_ = 0; }

private:
    // Room for the requests of most calls, a whole user or domain record among them (about 180 and
    // 500 bytes), without a second allocation; a stream lives only for one call or one frame, so
    // the extra bytes are never held for long.
    static constexpr std::size_t kInline = 512;
    [[noreturn]] void ThrowShortRead(unsigned int n) const;
    [[noreturn]] void ThrowBadSeek(std::size_t position) const;
    void Grow(std::size_t more);

    unsigned char inline_[kInline];
    unsigned char* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
    std::size_t position_ = 0;
};

// Little-endian 32-bit values at any address, on every platform, without unaligned access.
ZEL_IPC2_ALWAYS_INLINE void StoreLe32(unsigned char* p, std::uint32_t v) noexcept {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

ZEL_IPC2_ALWAYS_INLINE std::uint32_t LoadLe32(const unsigned char* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

ZEL_IPC2_ALWAYS_INLINE void WriteLe32(ByteStream& s, std::int32_t v) {
    unsigned char b[4];
    StoreLe32(b, static_cast<std::uint32_t>(v));
    s.Write(b, 4);
}

ZEL_IPC2_ALWAYS_INLINE std::int32_t ReadLe32(ByteStream& s) {
    return static_cast<std::int32_t>(LoadLe32(s.Read(4)));
}

}  // namespace zel::proglibs::ipc2
