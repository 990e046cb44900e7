// The handshake that opens a socket connection, both halves of it.
//
// The client says hello: its protocol version and the modules it asks for. The server admits it
// and answers with a hello-ack (its version, its protocol checksum, the connection's module list),
// or refuses it with an error frame whose payload is the reason. Each side reads exactly one frame
// and never past it, so that whatever the peer sends next is left for the connection's reader.
// Whether the two sides agree (modules, checksums) is the runtime's one rule (agreement.h), applied
// by whoever admits the client and by the client on the answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame.h"

namespace zel::proglibs::ipc2::socket {

class Channel;

using Deadline = std::chrono::steady_clock::time_point;

// What the server answers a hello with, once it admitted the client.
struct Admitted {
    std::string checksum;
    std::vector<std::string> modules;
};

// Admits a client that said `hello` on `channel`: makes the connection's endpoint and attaches it
// to the channel. Throws to refuse the client; the exception's text is the reason it is sent.
using Admit = std::function<Admitted(const Hello& hello, Channel& channel)>;

// ---- the server's half, on the connection's first thread before it is served

// Reads the hello. False when there is none to admit: the connection has ended, and a malformed
// hello was refused with the reason. `callId` is the hello's, for the answer.
bool ReadHello(Channel& channel, Deadline deadline, Hello& hello, std::uint32_t& callId);
// Admits the client and answers it. True when the connection may be served.
bool AnswerHello(Channel& channel, std::uint32_t callId, const Hello& hello, const Admit& admit);

// ---- the client's half, on a connected socket

enum class HandshakeStatus { Ok, Timeout, Failed };
// Says hello and reads the answer: the server's hello-ack in `ack`, or what went wrong in `why`.
HandshakeStatus SayHello(int fd, const std::vector<std::string>& modules, Deadline deadline, HelloAck& ack,
                         std::string& why);

}  // namespace zel::proglibs::ipc2::socket
