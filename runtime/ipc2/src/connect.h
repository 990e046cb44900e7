// A client's side of opening a connection, on either transport.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "endpoint.h"
#include "ipc2/connector.h"
#include "ipc2/limits.h"

namespace zel::proglibs::ipc2::detail {

// Who connects.
struct ClientSide {
    std::string serverName;
    std::vector<std::string> modules;
    std::string checksum;
    Limits limits;
    // Runs the calls the server makes back, and writes the client's call log; may be null.
    std::shared_ptr<Connector> connector;
    // The user a server must run as over a socket (root is trusted too).
    uid_t serverUser = ::getuid();
};

// What a server said of itself in the handshake.
struct Announced {
    std::uint32_t version = 0;
    std::string checksum;
    std::vector<std::string> modules;
};

// A server of this process when no address is given and the name is served here (inprocess.h);
// otherwise the socket at the address, or the name's default socket when there is none. Throws
// ConnectError when nobody answers, or the two sides do not agree (agreement.h), or the server
// does not admit the client.
std::shared_ptr<Endpoint> Connect(const ClientSide& client, const std::string& address);
// Over the socket at `path`; `announced`, when given, receives what the server said.
std::shared_ptr<Endpoint> ConnectSocket(const std::string& path, const ClientSide& client,
                                        Announced* announced = nullptr);

}  // namespace zel::proglibs::ipc2::detail
