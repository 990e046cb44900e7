#include "ipc2/bytestream.h"

#include <limits>
#include <string>

namespace zel::proglibs::ipc2 {

ByteStream::ByteStream(std::size_t capacity) { Reserve(capacity); }

ByteStream::ByteStream(const void* data, std::size_t size) {
    Reserve(size);
    if (size != 0) std::memcpy(data_, data, size);
    size_ = size;
}

ByteStream::~ByteStream() {
    if (data_ != inline_) delete[] data_;
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

void ByteStream::Seek(std::size_t position) {
    if (position > size_)
        throw StreamError("seek to position " + std::to_string(position) + " past the end of a " +
                          std::to_string(size_) + "-byte message");
    position_ = position;
}

unsigned char* ByteStream::Extend(std::size_t n) {
    if (n > capacity_ - size_) Grow(n);
    unsigned char* p = data_ + size_;
    size_ += n;
    return p;
}

void ByteStream::ThrowShortRead(unsigned int n) const {
    throw StreamError("read of " + std::to_string(n) + " bytes at position " + std::to_string(position_) +
                      " of a " + std::to_string(size_) + "-byte message (" + std::to_string(size_ - position_) +
                      " remain)");
}

}  // namespace zel::proglibs::ipc2
