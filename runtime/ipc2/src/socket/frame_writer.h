// Writes whole frames on a connection's socket, one writer at a time, never raising SIGPIPE.
//
// A write waits for the peer to read, but not for ever: the socket's send timeout (SO_SNDTIMEO,
// set by whoever owns the socket) bounds each wait in which no byte moves, and a write that made no
// progress within it fails as stalled. A slow reader is fine; one that stopped reading is not.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "../sync.h"
#include "frame.h"

namespace zel::proglibs::ipc2::socket {

class FrameWriter {
public:
    // Called at most once by a write, when it is about to wait (for another writer, or for the
    // peer to read): a writer that holds what must not wait with it (the connection's read token)
    // lets go of it there. The writer's lock may be held when it runs.
    using BeforeWaiting = std::function<void()>;
    // Why a write failed; `stalled`: the peer read nothing for the whole send timeout.
    struct Failure {
        std::string why;
        bool stalled = false;
    };

    // Sends `before` (whole frames, may be null or empty), then the frame of `header` and its
    // payload, in one write. False with the reason when the socket failed.
    bool Write(int fd, const FrameHeader& header, const void* payload, const std::vector<unsigned char>* before,
               const BeforeWaiting* beforeWaiting, Failure& failure);
    // Sends bytes that hold whole frames.
    bool WriteBytes(int fd, const std::vector<unsigned char>& frames, const BeforeWaiting* beforeWaiting,
                    Failure& failure);
    // Sends a frame without a payload unless that would wait (for another writer, or for the peer
    // to read): a notice the peer can do without. Once its first byte went, the rest is sent
    // whatever it takes. False with the reason when the socket failed; `sent` says whether it went.
    bool Offer(int fd, const FrameHeader& header, bool& sent, Failure& failure);
    // Appends a whole frame to `out`, for a later write.
    static void Append(std::vector<unsigned char>& out, const FrameHeader& header, const void* payload);

private:
    bool Send(int fd, iovec* iov, std::size_t count, const BeforeWaiting* beforeWaiting, Failure& failure);

    // One write at a time. Taken before the channel's lock when both are held: a write may let go of
    // the read token (which takes the channel's lock) while it holds this one.
    Mutex mu_;
};

// A handshake frame, written before the connection has a writer of its own.
bool WriteFrameTo(int fd, const FrameHeader& header, const void* payload, std::string& why);

}  // namespace zel::proglibs::ipc2::socket
