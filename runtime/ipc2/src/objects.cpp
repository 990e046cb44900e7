// Out-of-line destructors: they anchor each interface's vtable in this library, so that every user
// of the runtime shares one type identity (dynamic_cast and exceptions across shared objects).
#include "ipc2/connectionhandler.h"
#include "ipc2/connector.h"
#include "ipc2/objects.h"

namespace zel::proglibs::ipc2 {

IProxy::~IProxy() = default;

std::shared_ptr<ConnectionHandler> IProxy::GetConnection() { return nullptr; }
IStub::~IStub() = default;
ConnectionHandler::~ConnectionHandler() = default;

void ConnectionHandler::SetCallTimeout(std::chrono::milliseconds) {}

void ConnectionHandler::OnDisconnect(std::function<void()>) {}

void ConnectionHandler::Post(std::shared_ptr<ByteStream> request, bool sendFlag) {
    Free(Send(std::move(request), sendFlag));
}
IReceiver::~IReceiver() = default;
Ipc::IServerListener::~IServerListener() = default;

}  // namespace zel::proglibs::ipc2
