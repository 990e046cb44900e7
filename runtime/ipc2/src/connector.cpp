#include "ipc2/connector.h"

#include <utility>

#include "calllog.h"
#include "connect.h"
#include "endpoint.h"
#include "ipc2/errors.h"
#include "served.h"
#include "sync.h"

namespace zel::proglibs::ipc2 {

struct Connector::State {
    Mutex mutex;
    Limits limits ZEL_GUARDED_BY(mutex);
    std::string checksum ZEL_GUARDED_BY(mutex);
    std::string servedName ZEL_GUARDED_BY(mutex);  // empty while not serving
    detail::served::SocketAccess access ZEL_GUARDED_BY(mutex);
    uid_t serverUser ZEL_GUARDED_BY(mutex) = ::getuid();
};

Connector::Connector() : state_(std::make_unique<State>()) {}

Connector::~Connector() { UnregisterServerImpl(); }

void Connector::SetLimits(const Limits& limits) {
    MutexLock lock(state_->mutex);
    state_->limits = limits;
}

Limits Connector::GetLimits() const {
    MutexLock lock(state_->mutex);
    return state_->limits;
}

void Connector::SetSocketAccess(mode_t mode, gid_t group) {
    MutexLock lock(state_->mutex);
    state_->access = detail::served::SocketAccess{mode, group};
}

void Connector::SetServerUser(uid_t uid) {
    MutexLock lock(state_->mutex);
    state_->serverUser = uid;
}

uid_t Connector::GetServerUser() const {
    MutexLock lock(state_->mutex);
    return state_->serverUser;
}

void Connector::SetProtocolChecksum(const std::string& checksum) {
    MutexLock lock(state_->mutex);
    state_->checksum = checksum;
}

std::shared_ptr<ConnectionHandler> Connector::ConnectImpl(std::string serverName, std::string address,
                                                          std::vector<std::string> modules) {
    detail::ClientSide client;
    client.serverName = std::move(serverName);
    client.modules = std::move(modules);
    client.connector = weak_from_this().lock();
    {
        MutexLock lock(state_->mutex);
        client.checksum = state_->checksum;
        client.limits = state_->limits;
        client.serverUser = state_->serverUser;
    }
    return detail::Connect(client, address);
}

void Connector::RegisterServerImpl(std::string serverName, bool exclusive, std::string rootTypeName, void* root,
                                   StubFactory rootFactory, std::vector<std::string> modules) {
    if (serverName.empty()) throw IpcError("a server needs a name to be registered under");
    if (!rootFactory) throw IpcError("server '" + serverName + "' registered without a root stub factory");
    detail::served::Registration registration{this, std::move(rootTypeName), root, std::move(rootFactory),
                                              std::move(modules), {}};
    detail::served::SocketAccess access;
    {
        MutexLock lock(state_->mutex);
        registration.checksum = state_->checksum;
        access = state_->access;
    }
    detail::served::Register(serverName, exclusive, std::move(registration), access);
    std::string previous;
    {
        MutexLock lock(state_->mutex);
        previous = std::exchange(state_->servedName, serverName);
    }
    // A connector serves one name: moving to another gives up the old one (with no lock held: the
    // old name's socket waits for its handshakes, which run the application's ClientConnected).
    if (!previous.empty() && previous != serverName) detail::served::Unregister(previous, this);
}

void Connector::UnregisterServerImpl() {
    std::string name;
    {
        MutexLock lock(state_->mutex);
        name.swap(state_->servedName);
    }
    // With the name goes its socket: accepting stops and the file is removed; open connections stay.
    if (!name.empty()) detail::served::Unregister(name, this);
}

std::shared_ptr<ByteStream> Connector::Receive(std::shared_ptr<ByteStream> request,
                                               std::shared_ptr<ConnectionHandler> handler) {
    return detail::DispatchToStub(this, request, handler);
}

void Connector::ClientConnected(std::shared_ptr<ConnectionHandler> handler) { (void)handler; }

void Connector::Disconnected(std::shared_ptr<ConnectionHandler> handler) { (void)handler; }

void Connector::LogCall(const ConnectionHandler& handler, CallDirection direction, const ByteStream& message,
                        bool sendFlag) {
    detail::WriteCallLog(handler, direction, message, sendFlag);
}

}  // namespace zel::proglibs::ipc2
