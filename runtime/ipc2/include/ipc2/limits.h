// Bounds that protect a process from its peers, checked before anything is allocated.
#pragma once

#include <cstddef>

namespace zel::proglibs::ipc2 {

struct Limits {
    // Largest message (request or reply) accepted or sent, in bytes.
    std::size_t maxFrameSize = 16u << 20;
    // Deepest chain of nested calls (a call made while serving a call, and so on); the call past it
    // fails with LimitError instead of exhausting the stack.
    int maxCallDepth = 32;
    // Calls open on one end of a connection at once: calls of ours waiting for their replies and
    // requests of the peer accepted and not yet answered, together (so a chain of nested calls
    // counts every level on both ends). One-way requests (releases), which cannot be refused
    // without leaking what they release, may be four times as many.
    int maxOutstandingCalls = 1024;
    // Stubs alive on one connection at once.
    int maxStubsPerConnection = 65536;
    // How long a peer may pause in the middle of a message before its connection is dropped, so
    // that a peer sending half a message cannot hold a connection's reader forever; and how long a
    // write may wait without a byte taken, so that a peer that stopped reading cannot hold a writer
    // (a reply, a notification) forever either.
    int frameTimeoutMs = 10000;
    // How long a call may wait for its answer, unless the call is given less (ipc2/deadline.h):
    // long beyond what any call of a well service takes, short enough that a frozen or vanished
    // peer frees its callers while someone still waits for them.
    int callTimeoutMs = 30000;
    // Connections a service keeps open at once for the processes of one user, handshakes
    // included; the next one of that user is refused with the reason. Each costs the service three
    // descriptors, so that one user's clients alone cannot take all of a common 1,024.
    int maxConnectionsPerUser = 128;
};

// One-way requests may be this many times Limits::maxOutstandingCalls, and are not held to
// Limits::maxCallDepth: a release refused would leak what it releases.
constexpr int kOneWayAllowance = 4;

}  // namespace zel::proglibs::ipc2
