#include "frame_reader.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fd.h"

namespace zel::proglibs::ipc2::socket {

FrameReader::FrameReader() : buffer_(new unsigned char[kBufferSize]) {}

bool FrameReader::HasWholeFrame() const noexcept {
    const std::size_t have = end_ - pos_;
    if (have < FrameHeader::kSize) return false;
    const FrameHeader h = FrameHeader::Decode(buffer_.get() + pos_);
    return have >= h.Size() && h.length <= have - h.Size();
}

FrameReader::Status FrameReader::Read(int fd, bool mayBlock, const Bounds& bounds, Frame& out, Failure& failure) {
    Status st = FillHeader(fd, mayBlock, FrameHeader::kSize, bounds, failure);
    if (st != Status::Got) return st;
    out.header = FrameHeader::Decode(buffer_.get() + pos_);
    failure.why = CheckHeader(out.header, bounds.maxPayload);
    if (!failure.why.empty()) {
        failure.fault = true;
        return Status::Failed;
    }
    if (out.header.HasBudget()) {
        st = FillHeader(fd, mayBlock, FrameHeader::kMaxSize, bounds, failure);
        if (st != Status::Got) return st;
        out.header.DecodeBudget(buffer_.get() + pos_ + FrameHeader::kSize);
    }
    pos_ += out.header.Size();
    return ReadPayload(fd, bounds, out, failure);
}

FrameReader::Status FrameReader::FillHeader(int fd, bool mayBlock, std::size_t size, const Bounds& bounds,
                                            Failure& failure) {
    bool started = HasBytes();
    while (end_ - pos_ < size) {
        if (pos_ > 0) {
            std::memmove(buffer_.get(), buffer_.get() + pos_, end_ - pos_);
            end_ -= pos_;
            pos_ = 0;
        }
        const ssize_t n = ::recv(fd, buffer_.get() + end_, kBufferSize - end_, !started && mayBlock ? 0 : MSG_DONTWAIT);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
            started = true;
            continue;
        }
        const int error = errno;
        // Between frames a service thread does not wait: its wake-up may have been for bytes that
        // another reader took.
        if (n < 0 && !started && (error == EAGAIN || error == EWOULDBLOCK)) return Status::Nothing;
        if (!Resume(fd, n, error, started, "a frame header", bounds, failure)) return Status::Failed;
    }
    return Status::Got;
}

FrameReader::Status FrameReader::ReadPayload(int fd, const Bounds& bounds, Frame& f, Failure& failure) {
    const std::size_t length = f.header.length;
    unsigned char* p = nullptr;
    try {
        f.payload = std::make_shared<ByteStream>(length);
        if (length != 0) p = f.payload->Extend(length);
    } catch (const std::exception& e) {
        failure.fault = false;
        failure.why = "cannot take a frame of " + std::to_string(length) + " bytes: " + e.what();
        return Status::Failed;
    }
    std::size_t got = std::min(length, end_ - pos_);
    if (got != 0) std::memcpy(p, buffer_.get() + pos_, got);
    pos_ += got;
    if (pos_ == end_) pos_ = end_ = 0;
    if (got == length) return Status::Got;
    // The whole frame within two pauses' worth plus its size at the least rate: a peer that never
    // quite pauses cannot make a frame last for ever either.
    const auto start = std::chrono::steady_clock::now();
    const auto until = start + std::chrono::milliseconds(2LL * bounds.stallMs) +
                       std::chrono::milliseconds(length * 1000 / kLeastBytesPerSecond);
    while (got < length) {
        const long n = ReceivePayload(fd, p + got, length - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (!Resume(fd, n, errno, true, "a frame", bounds, failure, until)) {
            if (std::chrono::steady_clock::now() >= until) {
                const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
                failure.why = "the peer sent " + std::to_string(got) + " of a frame's " + std::to_string(length) +
                              " bytes in " + std::to_string(took.count()) + " ms, slower than a frame may come";
            }
            return Status::Failed;
        }
    }
    return Status::Got;
}

long FrameReader::ReceivePayload(int fd, unsigned char* to, std::size_t need) {
    // Large: straight into the message.
    if (need >= kBufferSize / 2) return ::recv(fd, to, need, MSG_DONTWAIT);
    // Small: through the buffer (empty here), which picks up the next frames on the way.
    const ssize_t n = ::recv(fd, buffer_.get(), kBufferSize, MSG_DONTWAIT);
    if (n <= 0) return n;
    const std::size_t take = std::min(need, static_cast<std::size_t>(n));
    std::memcpy(to, buffer_.get(), take);
    pos_ = take;
    end_ = static_cast<std::size_t>(n);
    if (pos_ == end_) pos_ = end_ = 0;
    return static_cast<long>(take);
}

bool FrameReader::Resume(int fd, long received, int error, bool started, const char* inside, const Bounds& bounds,
                         Failure& failure, std::chrono::steady_clock::time_point until) {
    if (received == 0) {
        failure.fault = started;
        failure.why = started ? std::string("the peer closed the connection inside ") + inside
                              : "the peer closed the connection";
        return false;
    }
    if (error == EINTR) return true;
    if (error != EAGAIN && error != EWOULDBLOCK) {
        failure.fault = error != ECONNRESET;
        failure.why = "reading failed: " + ErrnoText(error);
        return false;
    }
    // Inside a frame nobody waits longer than the stall bound for the rest, nor past `until`.
    int wait = bounds.stallMs;
    if (until != std::chrono::steady_clock::time_point::max()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        wait = static_cast<int>(std::clamp<long long>(left, 0, wait));
    }
    pollfd p{fd, POLLIN, 0};
    int r;
    while ((r = ::poll(&p, 1, wait)) < 0 && errno == EINTR) {
    }
    if (r > 0) return true;
    failure.fault = true;
    failure.why = r == 0 ? "the peer stalled inside a frame for " + std::to_string(wait) + " ms"
                         : "waiting for the rest of a frame failed: " + ErrnoText(errno);
    return false;
}

}  // namespace zel::proglibs::ipc2::socket
