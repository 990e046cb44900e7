// What a client and a server must agree on before a connection opens, one rule for every
// transport: the protocol (checksums) and the modules.
//
// Module ids are indexes into the connection's module list, and both ends number by the same list:
// the server's, or the client's when the server names none (it serves any). Every module the
// client asks for must be in it; its position there is its id on both ends, whatever order the
// client listed its modules in.
#pragma once

#include <string>
#include <vector>

namespace zel::proglibs::ipc2::detail {

// The connection's module list. Throws ConnectError naming the first module the client asks for
// that the server does not serve.
std::vector<std::string> AgreeModules(const std::vector<std::string>& served, const std::vector<std::string>& asked);

// Throws ConnectError when both sides set a protocol checksum and the two differ.
void AgreeChecksums(const std::string& serverName, const std::string& server, const std::string& client);

}  // namespace zel::proglibs::ipc2::detail
