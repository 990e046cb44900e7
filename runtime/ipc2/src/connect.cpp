#include "connect.h"

#include "agreement.h"
#include "inprocess.h"
#include "ipc2/errors.h"
#include "socket/channel.h"
#include "socket/dial.h"
#include "socket/socket_file.h"

namespace zel::proglibs::ipc2::detail {

namespace {

// A dialled socket made a connection. A server that speaks another protocol, or does not serve
// our modules, is left before the first call (it sees a connection come and go).
std::shared_ptr<Endpoint> Open(const std::string& path, socket::Dialed dialed, const ClientSide& client,
                               Announced* announced) {
    AgreeChecksums(client.serverName, dialed.ack.checksum, client.checksum);
    std::vector<std::string> modules;
    try {
        modules = AgreeModules(dialed.ack.modules, client.modules);
    } catch (const ConnectError& e) {
        throw ConnectError("cannot connect to " + path + ": " + e.what());
    }
    if (announced != nullptr) *announced = Announced{dialed.ack.version, dialed.ack.checksum, dialed.ack.modules};
    auto channel = std::make_shared<socket::Channel>(std::move(dialed.fd), false);
    auto end = std::make_shared<Endpoint>(Endpoint::Options{std::move(modules), false, client.limits, client.serverName},
                                          channel);
    channel->Attach(end);
    end->Bind(client.connector, false);
    if (!channel->Start()) throw ConnectError("cannot connect to " + path + ": cannot start the connection's thread");
    return end;
}

}  // namespace

std::shared_ptr<Endpoint> ConnectSocket(const std::string& path, const ClientSide& client, Announced* announced) {
    return Open(path, socket::Dial(path, client.modules, client.serverUser), client, announced);
}

std::shared_ptr<Endpoint> Connect(const ClientSide& client, const std::string& address) {
    if (!address.empty()) return ConnectSocket(address, client);
    if (auto end = inprocess::Connect(client)) return end;
    std::string path;
    socket::Dialed dialed;
    try {
        path = socket::DefaultSocketPath(client.serverName, false);
        dialed = socket::Dial(path, client.modules, client.serverUser);
    } catch (const ConnectError& e) {
        throw ConnectError("no server '" + client.serverName + "' in this process, and " + e.what());
    }
    return Open(path, std::move(dialed), client, nullptr);
}

}  // namespace zel::proglibs::ipc2::detail
