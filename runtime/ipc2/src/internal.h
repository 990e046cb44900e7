// What the connector and the transports share inside the library.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ipc2/connector.h"

namespace zel::proglibs::ipc2::socket {
class Listener;
}

namespace zel::proglibs::ipc2::detail {

// Hands a request to the stub of its object id. `logger` writes the incoming call log line; when the
// connector that received the connection is gone, null writes it the default way.
std::shared_ptr<ByteStream> DispatchRequest(Connector* logger, const std::shared_ptr<ByteStream>& request,
                                            const std::shared_ptr<ConnectionHandler>& handler);

// The default call log line (Connector::LogCall).
void WriteCallLog(const ConnectionHandler& handler, CallDirection direction, const ByteStream& message,
                  bool sendFlag);

// What a server registered: everything a new connection needs to get its root stub.
struct ServerRegistration {
    // Not owned: the connector removes its registration in its destructor, and a connection takes
    // a strong reference through weak_from_this() under the table's lock.
    Connector* owner = nullptr;
    std::string rootTypeName;
    void* root = nullptr;
    StubFactory rootFactory;
    std::vector<std::string> modules;
    std::string checksum;
    // The name's socket. It belongs to the name, not to the connector: a connector taking the name
    // over keeps serving the socket, and the socket goes when the name is unregistered.
    std::shared_ptr<socket::Listener> listener;
};

// Throws ConnectError when both sides set a protocol checksum and the two differ.
void CheckChecksums(const std::string& serverName, const std::string& server, const std::string& client);

namespace inprocess {

// Throws ConnectError when `exclusive` and another live connector serves the name.
void Register(const std::string& name, bool exclusive, ServerRegistration registration);
// Removes the name's registration if `owner` made it.
void Unregister(const std::string& name, const Connector* owner);
// Whether a live connector of this process serves the name on a socket already.
bool HasListener(const std::string& name);
// Gives the registration of `owner` under `name` its listener; false when it is no longer there.
bool AttachListener(const std::string& name, const Connector* owner, std::shared_ptr<socket::Listener> listener);
// The name's registration and its live connector, or a null connector when nobody serves it.
std::pair<ServerRegistration, std::shared_ptr<Connector>> Current(const std::string& name);
// A connection to the server registered under `name` in this process, or null when there is none.
// `client` (may be null) receives the server's calls back. Throws ConnectError when the server's
// root stub cannot be made or the protocols differ.
std::shared_ptr<ConnectionHandler> Connect(const std::string& name, const std::shared_ptr<Connector>& client,
                                           const std::vector<std::string>& modules,
                                           const std::string& checksum);

}  // namespace inprocess
}  // namespace zel::proglibs::ipc2::detail
