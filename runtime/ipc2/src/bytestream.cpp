#include "ipc2/bytestream.h"

#include <limits>
#include <string>

namespace zel::proglibs::ipc2 {

ByteStream::ByteStream(const void* data, std::size_t size) {
    Reserve(size);
    CopyBytes(data_, data, size);
    size_ = size;
}

void ByteStream::Reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    auto* fresh = new unsigned char[capacity];
    if (size_ != 0) std::memcpy(fresh, data_, size_);
    if (data_ != inline_) delete[] data_;
    data_ = fresh;
    capacity_ = capacity;
}

void ByteStream::Grow(std::size_t more) {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    if (more > kMax - size_)
        throw StreamError("cannot append " + std::to_string(more) + " bytes to a message of " +
                          std::to_string(size_) + " bytes");
    const std::size_t needed = size_ + more;
    // Doubling keeps a message written field by field at amortised constant cost per byte.
    std::size_t target = capacity_ > kMax / 2 ? needed : capacity_ * 2;
    if (target < needed) target = needed;
    Reserve(target);
}

void ByteStream::ThrowBadSeek(std::size_t position) const {
    throw StreamError("seek to position " + std::to_string(position) + " past the end of a " +
                      std::to_string(size_) + "-byte message");
}

void ByteStream::ThrowShortRead(unsigned int n) const {
    throw StreamError("read of " + std::to_string(n) + " bytes at position " + std::to_string(position_) +
                      " of a " + std::to_string(size_) + "-byte message (" + std::to_string(size_ - position_) +
                      " remain)");
}

}  // namespace zel::proglibs::ipc2
