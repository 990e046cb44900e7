// Reads frames off a connection's socket: its read buffer, and the one place a read can fail.
//
// Small frames come through the buffer, which a single recv fills with as many as have arrived;
// a large payload is read straight into its message. Not thread-safe: only the connection's
// read-token holder reads (read_token.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "frame.h"

namespace zel::proglibs::ipc2::socket {

class FrameReader {
public:
    enum class Status { Got, Nothing, Failed };
    // Why a frame could not be read; `fault`: the peer broke the protocol (worth logging).
    struct Failure {
        std::string why;
        bool fault = false;
    };
    struct Bounds {
        std::size_t maxPayload = 0;
        int stallMs = 0;  // the longest pause allowed inside a frame
    };
    // A frame's payload must come whole within twice the pause allowed plus its size at this rate:
    // a peer that sends a frame a byte at a time, never quite pausing, holds the connection's
    // reader (and the frame's memory) no longer than the frame's size warrants.
    static constexpr std::size_t kLeastBytesPerSecond = 1u << 20;

    FrameReader();
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // Reads one whole frame. Until its first byte has come, waits only if `mayBlock`; returns
    // Nothing when there is none and it may not. Inside a frame, waits at most `stallMs` for each
    // further piece.
    Status Read(int fd, bool mayBlock, const Bounds& bounds, Frame& out, Failure& failure);
    // Bytes that arrived and were not yet taken; invisible to epoll.
    bool HasBytes() const noexcept { return pos_ != end_; }
    // A whole frame among them, to be read without a system call.
    bool HasWholeFrame() const noexcept;

private:
    static constexpr std::size_t kBufferSize = 16 * 1024;

    // Buffers the header's first `size` bytes.
    Status FillHeader(int fd, bool mayBlock, std::size_t size, const Bounds& bounds, Failure& failure);
    Status ReadPayload(int fd, const Bounds& bounds, Frame& f, Failure& failure);
    // Receives up to `need` bytes of a payload into `to`; the result of recv (with errno).
    long ReceivePayload(int fd, unsigned char* to, std::size_t need);
    // After a recv that brought no bytes: true once more may be read, false with the reason when
    // the frame cannot be finished. `started`: part of the frame came already.
    bool Resume(int fd, long received, int error, bool started, const char* inside, const Bounds& bounds,
                Failure& failure, std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max());

    std::unique_ptr<unsigned char[]> buffer_;
    // The bytes of buffer_ read from the socket and not yet taken.
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

}  // namespace zel::proglibs::ipc2::socket
