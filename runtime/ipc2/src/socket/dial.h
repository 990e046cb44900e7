// The client's side of opening a socket connection: connecting to the socket file, making sure
// the process that answers runs as the user expected (before a byte is sent to it), and saying
// hello, all within five seconds.
#pragma once

#include <sys/types.h>

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
// answers, when it runs as neither `serverUser` nor root (naming both users), or when the
// handshake is refused or broken.
Dialed Dial(const std::string& path, const std::vector<std::string>& modules, uid_t serverUser);

// "name (uid N)", or "uid N" for a user without a name.
std::string UserText(uid_t uid);

}  // namespace zel::proglibs::ipc2::socket
