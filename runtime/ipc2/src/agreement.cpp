#include "agreement.h"

#include <algorithm>

#include "ipc2/errors.h"

namespace zel::proglibs::ipc2::detail {

std::vector<std::string> AgreeModules(const std::vector<std::string>& served, const std::vector<std::string>& asked) {
    if (served.empty()) return asked;
    for (const std::string& m : asked)
        if (std::find(served.begin(), served.end(), m) == served.end())
            throw ConnectError("module '" + m + "' is not served here");
    return served;
}

void AgreeChecksums(const std::string& serverName, const std::string& server, const std::string& client) {
    if (!server.empty() && !client.empty() && server != client)
        throw ConnectError("server '" + serverName + "' speaks protocol " + server + ", the client " + client);
}

}  // namespace zel::proglibs::ipc2::detail
