// Serving a socket file: accepting connections, and running each one's handshake on its own first
// thread, bounded so that a flood of silent peers cannot exhaust the process, and bounded per user
// (the kernel says who connects) so that one user's processes can shut out only that user: a
// few handshakes in progress and a number of open connections per user, and a descriptor kept in
// reserve so that a client is refused with the reason, never left in the backlog, when the
// process has no descriptor left.
#pragma once

#include <memory>
#include <string>

#include "handshake.h"
#include "socket_file.h"

namespace zel::proglibs::ipc2::socket {

class Listener {
public:
    struct Options {
        SocketFile::Options file;
        // How long a new connection may take to say hello before it is dropped: a local client
        // says it as soon as it has connected.
        int handshakeTimeoutMs = 500;
        // Connections of one user open at once, handshakes included (Limits::maxConnectionsPerUser).
        int maxConnectionsPerUser = 128;
    };

    // Publishes the socket file and starts accepting; `admit` decides on each client that says
    // hello. Throws ConnectError naming the path (SocketFile::Publish), or when no thread could be
    // started for it.
    static std::unique_ptr<Listener> Start(Options options, Admit admit);
    // Stops accepting, drops connections still in their handshake, and removes the socket file
    // (only if it is still ours); open connections stay.
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    const std::string& Path() const;

    struct Core;

private:
    explicit Listener(std::shared_ptr<Core> core) : core_(std::move(core)) {}
    std::shared_ptr<Core> core_;
};

}  // namespace zel::proglibs::ipc2::socket
