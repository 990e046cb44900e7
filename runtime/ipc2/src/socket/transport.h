// The Unix-domain-socket transport: serving a name on a socket file, and connecting to one.
//
// A connection is served by at most five threads of its own (one reading at a time, up to four
// running requests that belong to no waiting call); see channel.h for who does what.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ipc2/connector.h"
#include "ipc2/limits.h"
#include "ipc2/registry.h"

namespace zel::proglibs::ipc2::socket {

struct ServerConfig {
    std::string path;                  // socket file
    mode_t mode = 0600;                // owner-only by default
    gid_t group = static_cast<gid_t>(-1);  // chgrp when set
    Limits limits;
    // The modules the server serves; a client asking for another one is refused. Empty: any.
    std::vector<std::string> modules;
    std::string checksum;              // the server's protocol checksum, sent in the handshake
    // How long a new connection may take to say hello before it is dropped.
    int handshakeTimeoutMs = 5000;
};

struct ServerHooks {
    std::weak_ptr<IReceiver> receiver;  // requests of every connection
    // A client's hello was accepted (IsServer() true). Runs on the connection's first thread
    // before the client is answered and before any request is read, so a stub registered here
    // serves the client's first call. An exception refuses the client: its Connect fails with the
    // exception's text.
    std::function<void(const std::shared_ptr<RegistryConnectionHandler>&)> connected;
    // Once per connection that was reported connected, after its stubs were dropped.
    std::function<void(const std::shared_ptr<ConnectionHandler>&)> disconnected;
    // The checksum to announce, asked at each handshake (the server behind the socket may change);
    // unset: the config's.
    std::function<std::string()> checksum;
};

// What the server said in its hello-ack.
struct ServerInfo {
    std::uint32_t version = 0;
    std::string checksum;
    std::vector<std::string> modules;
};

class Listener {
public:
    // Binds and starts accepting. Throws ConnectError naming the path when the file belongs to a
    // live server, is not a socket, or cannot be created with the requested permissions.
    static std::unique_ptr<Listener> Start(ServerConfig config, ServerHooks hooks);
    // Stops accepting, drops connections still in their handshake, and removes the socket file
    // (only if it is still ours); open connections stay.
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    const std::string& Path() const;

    struct Core;

private:
    explicit Listener(std::shared_ptr<Core> core);
    std::shared_ptr<Core> core_;
};

// Client side (IsServer() false). Throws ConnectError naming the path and the errno text (or the
// server's reason) when no server answers or the handshake is refused or broken; the handshake
// must complete within 5 s. `server`, when given, receives the server's hello-ack.
std::shared_ptr<ConnectionHandler> Connect(const std::string& path, const std::vector<std::string>& modules,
                                           std::weak_ptr<IReceiver> receiver, const Limits& limits,
                                           ServerInfo* server = nullptr);

// $ZEL_IPC_DIR/<name>.sock ("%p" in the variable stands for this process's id; the directory is
// created 0700 when missing), else /tmp/zel-ipc-<uid>/<name>.sock (created 0700, and refused unless
// it is a private directory of this user). Throws ConnectError for a name that is empty or contains
// '/', or an unusable directory.
std::string DefaultSocketPath(const std::string& serverName);

}  // namespace zel::proglibs::ipc2::socket
