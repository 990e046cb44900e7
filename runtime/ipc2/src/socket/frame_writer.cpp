#include "frame_writer.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "fd.h"

namespace zel::proglibs::ipc2::socket {

namespace {

// Sends every byte of the iovecs, resuming after short writes.
bool SendAll(int fd, iovec* iov, std::size_t count, const FrameWriter::BeforeWaiting* beforeWaiting,
             FrameWriter::Failure& failure) {
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    std::size_t left = 0;
    for (std::size_t i = 0; i < count; ++i) left += iov[i].iov_len;
    // Without waiting first, when someone must know before the write waits.
    int flags = MSG_NOSIGNAL | (beforeWaiting != nullptr ? MSG_DONTWAIT : 0);
    while (left > 0) {
        const ssize_t n = ::sendmsg(fd, &msg, flags);
        if (n < 0) {
            if (errno == EINTR) continue;
            if ((flags & MSG_DONTWAIT) != 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                (*beforeWaiting)();
                flags &= ~MSG_DONTWAIT;
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // The send timeout passed without a byte taken.
                failure.why = "the peer stopped reading: no byte of a frame went out within the frame timeout";
                failure.stalled = true;
                return false;
            }
            failure.why = "writing failed: " + ErrnoText(errno);
            return false;
        }
        left -= static_cast<std::size_t>(n);
        // Skip what went out; a short write leaves the rest of one iovec.
        for (std::size_t done = static_cast<std::size_t>(n); done > 0 && msg.msg_iovlen > 0;) {
            if (done >= msg.msg_iov->iov_len) {
                done -= msg.msg_iov->iov_len;
                ++msg.msg_iov;
                --msg.msg_iovlen;
            } else {
                msg.msg_iov->iov_base = static_cast<char*>(msg.msg_iov->iov_base) + done;
                msg.msg_iov->iov_len -= done;
                done = 0;
            }
        }
    }
    return true;
}

// The iovecs of a write: frames before, the header, the payload.
std::size_t Gather(iovec* iov, const std::vector<unsigned char>* before, unsigned char* head, std::size_t headSize,
                   const void* payload, std::size_t size) {
    std::size_t count = 0;
    if (before != nullptr && !before->empty()) iov[count++] = {const_cast<unsigned char*>(before->data()), before->size()};
    iov[count++] = {head, headSize};
    if (size != 0) iov[count++] = {const_cast<void*>(payload), size};
    return count;
}

}  // namespace

bool FrameWriter::Send(int fd, iovec* iov, std::size_t count, const BeforeWaiting* beforeWaiting, Failure& failure) {
    if (!mu_.TryLock()) {
        // Another writer is at it: let go of what must not wait before waiting for it.
        if (beforeWaiting != nullptr) (*beforeWaiting)();
        beforeWaiting = nullptr;
        mu_.Lock();
    }
    const bool sent = SendAll(fd, iov, count, beforeWaiting, failure);
    mu_.Unlock();
    return sent;
}

bool FrameWriter::Write(int fd, const FrameHeader& header, const void* payload,
                        const std::vector<unsigned char>* before, const BeforeWaiting* beforeWaiting,
                        Failure& failure) {
    unsigned char head[FrameHeader::kMaxSize];
    header.Encode(head);
    iovec iov[3];
    const std::size_t count = Gather(iov, before, head, header.Size(), payload, header.length);
    return Send(fd, iov, count, beforeWaiting, failure);
}

bool FrameWriter::WriteBytes(int fd, const std::vector<unsigned char>& frames, const BeforeWaiting* beforeWaiting,
                             Failure& failure) {
    if (frames.empty()) return true;
    iovec iov{const_cast<unsigned char*>(frames.data()), frames.size()};
    return Send(fd, &iov, 1, beforeWaiting, failure);
}

bool FrameWriter::Offer(int fd, const FrameHeader& header, bool& sent, Failure& failure) {
    sent = false;
    if (!mu_.TryLock()) return true;
    unsigned char head[FrameHeader::kMaxSize];
    header.Encode(head);
    ssize_t n;
    do {
        n = ::send(fd, head, header.Size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    bool ok = true;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        failure.why = "writing failed: " + ErrnoText(errno);
        ok = false;
    } else if (n > 0) {
        iovec rest{head + n, header.Size() - static_cast<std::size_t>(n)};
        ok = SendAll(fd, &rest, 1, nullptr, failure);
        sent = ok;
    }
    mu_.Unlock();
    return ok;
}

void FrameWriter::Append(std::vector<unsigned char>& out, const FrameHeader& header, const void* payload) {
    const std::size_t at = out.size();
    out.resize(at + header.Size() + header.length);
    header.Encode(out.data() + at);
    if (header.length != 0) std::memcpy(out.data() + at + header.Size(), payload, header.length);
}

bool WriteFrameTo(int fd, const FrameHeader& header, const void* payload, std::string& why) {
    unsigned char head[FrameHeader::kMaxSize];
    header.Encode(head);
    iovec iov[3];
    const std::size_t count = Gather(iov, nullptr, head, header.Size(), payload, header.length);
    FrameWriter::Failure failure;
    if (SendAll(fd, iov, count, nullptr, failure)) return true;
    why = std::move(failure.why);
    return false;
}

}  // namespace zel::proglibs::ipc2::socket
