// The client's side of opening a socket connection: connecting to the socket file and saying
// hello, both within five seconds.
#pragma once

#include <string>
#include <vector>

#include "fd.h"
#include "frame.h"

namespace zel::proglibs::ipc2::socket {

struct Dialed {
    UniqueFd fd;   // connected, greeted, ready to be served
    HelloAck ack;  // what the server answered
};

// Throws ConnectError naming the path and the errno text (or the server's reason) when no server
// answers, or the handshake is refused or broken.
Dialed Dial(const std::string& path, const std::vector<std::string>& modules);

}  // namespace zel::proglibs::ipc2::socket
