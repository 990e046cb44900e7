// The in-process transport: a connection to a server of this process is a pair of handlers, and a
// request runs the peer's stub on the calling thread. No thread is woken on the call path, and
// calls nest in both directions up to the depth limit.
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "internal.h"
#include "ipc2/errors.h"
#include "ipc2/registry.h"
#include "trace/trace.h"

namespace zel::proglibs::ipc2::detail::inprocess {

namespace {

// Nested in-process calls on this thread, over every connection: the stack is per thread.
thread_local int tCallDepth = 0;

struct ServerTable {
    std::mutex mutex;
    std::map<std::string, ServerRegistration> servers;
};

ServerTable& Servers() {
    // Never destroyed: connectors held by static objects unregister during exit.
    static ServerTable* table = new ServerTable;
    return *table;
}

// A registration counts while its connector can still accept connections. Called with the table's
// lock held, which keeps the connector's destructor (it unregisters) from finishing meanwhile.
std::shared_ptr<Connector> LiveOwner(const ServerRegistration& registration) {
    return registration.owner->weak_from_this().lock();
}

class Handler;

// What both ends of one connection share.
struct Link {
    std::atomic<bool> closed{false};
    std::atomic<int> outstanding{0};
    Limits limits;
    std::string serverName;
    // Set once, before either handler is handed out.
    std::weak_ptr<Handler> client;
    std::weak_ptr<Handler> server;
    // Weak so that a connector that keeps its connections is no cycle; calls keep being served by
    // the default dispatch when one is gone.
    std::weak_ptr<Connector> clientConnector;
    std::weak_ptr<Connector> serverConnector;

    void Close();
};

class Handler final : public RegistryConnectionHandler {
public:
    Handler(std::vector<std::string> modules, bool isServer, const Limits& limits, std::shared_ptr<Link> link,
            std::shared_ptr<Handler> server)
        : RegistryConnectionHandler(std::move(modules), isServer, limits),
          link_(std::move(link)),
          server_(std::move(server)) {}

    // The client end is what a client holds: when it goes unclosed, the connection goes with it.
    // (Its registry is empty of stubs by then, since each stub would hold it.)
    ~Handler() override {
        if (!IsServer()) link_->Close();
    }

    std::shared_ptr<ByteStream> Send(std::shared_ptr<ByteStream> request, bool sendFlag) override {
        return Deliver(std::move(request), sendFlag, false);
    }
    void Post(std::shared_ptr<ByteStream> request, bool sendFlag) override {
        Free(Deliver(std::move(request), sendFlag, true));
    }
    void Close() override { link_->Close(); }
    bool IsConnected() const override { return !link_->closed.load(std::memory_order_acquire); }
    PeerCredentials GetPeerCredentials() const override {
        PeerCredentials credentials;
        credentials.pid = getpid();
        credentials.uid = getuid();
        credentials.gid = getgid();
        return credentials;
    }

protected:
    // A client with no proxy left can never call again; closing releases the server's stubs.
    void OnLastProxyRemoved() override {
        if (!IsServer()) link_->Close();
    }

private:
    // Runs the request on the peer's side and returns its reply. A one-way request (a release) is
    // held to kOneWayAllowance times the outstanding-call limit and not to the depth limit.
    std::shared_ptr<ByteStream> Deliver(std::shared_ptr<ByteStream> request, bool sendFlag, bool oneWay);

    std::shared_ptr<Link> link_;
    // The client end keeps the server end alive; the server end reaches the client through the link.
    const std::shared_ptr<Handler> server_;
};

void Link::Close() {
    if (closed.exchange(true, std::memory_order_acq_rel)) return;
    std::shared_ptr<Handler> clientEnd = client.lock();
    std::shared_ptr<Handler> serverEnd = server.lock();
    // The stubs hold their handlers: dropping them breaks that cycle. No lock is held here, so their
    // implementations may send (their Sends now return null) while they are released.
    if (clientEnd) clientEnd->Registry().Close();
    if (serverEnd) serverEnd->Registry().Close();
    if (!serverEnd) return;
    if (auto listener = serverConnector.lock()) {
        // Close runs in destructors: a listener's failure is reported, not thrown.
        try {
            listener->Disconnected(serverEnd);
        } catch (const std::exception& e) {
            if (trace_enabled(1))
                dus_trc_log(__FILE__, __LINE__, __func__, "ipc2",
                            dus_trc_msg("Disconnected of server '%s' failed: %s", serverName.c_str(), e.what()));
        } catch (...) {
            if (trace_enabled(1))
                dus_trc_log(__FILE__, __LINE__, __func__, "ipc2",
                            dus_trc_msg("Disconnected of server '%s' failed", serverName.c_str()));
        }
    }
}

struct CallScope {
    explicit CallScope(std::atomic<int>& outstanding) : outstanding_(outstanding) { ++tCallDepth; }
    ~CallScope() {
        --tCallDepth;
        outstanding_.fetch_sub(1, std::memory_order_relaxed);
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    std::atomic<int>& outstanding_;
};

std::string Describe(long objectId, long methodId) {
    return "object " + std::to_string(objectId) + " method " + std::to_string(methodId);
}

std::shared_ptr<ByteStream> Handler::Deliver(std::shared_ptr<ByteStream> request, bool sendFlag, bool oneWay) {
    if (!request) throw StreamError("no request to send");
    Link& link = *link_;
    if (link.closed.load(std::memory_order_acquire)) return nullptr;
    std::shared_ptr<Handler> peer = IsServer() ? link.client.lock() : server_;
    if (!peer) return nullptr;

    const Limits& limits = link.limits;
    const std::size_t size = request->Size();
    const unsigned char* data = request->Data();
    const long objectId = size >= 4 ? static_cast<std::int32_t>(LoadLe32(data)) : -1L;
    const long methodId = size >= 9 ? static_cast<std::int32_t>(LoadLe32(data + 5)) : -1L;
    if (size > limits.maxFrameSize)
        throw LimitError("request of " + std::to_string(size) + " bytes for " + Describe(objectId, methodId) +
                         " exceeds the frame size limit of " + std::to_string(limits.maxFrameSize) + " bytes");
    if (!oneWay && tCallDepth >= limits.maxCallDepth)
        throw LimitError("call depth limit of " + std::to_string(limits.maxCallDepth) + " reached: " +
                         Describe(objectId, methodId) + " would be nested call " + std::to_string(tCallDepth + 1));
    const long long allowed = static_cast<long long>(limits.maxOutstandingCalls) * (oneWay ? kOneWayAllowance : 1);
    if (link.outstanding.fetch_add(1, std::memory_order_relaxed) >= allowed) {
        link.outstanding.fetch_sub(1, std::memory_order_relaxed);
        throw LimitError("outstanding call limit of " + std::to_string(limits.maxOutstandingCalls) +
                         " reached on the connection to '" + link.serverName + "' for " +
                         Describe(objectId, methodId));
    }
    CallScope scope(link.outstanding);

    std::shared_ptr<Connector> own = (IsServer() ? link.serverConnector : link.clientConnector).lock();
    if (own)
        own->LogCall(*this, CallDirection::Outgoing, *request, sendFlag);
    else
        WriteCallLog(*this, CallDirection::Outgoing, *request, sendFlag);

    std::shared_ptr<Connector> receiver = (IsServer() ? link.clientConnector : link.serverConnector).lock();
    request->Seek(0);
    std::shared_ptr<ByteStream> reply;
    // Whatever the receiving side throws stays on its side of the connection: the caller learns that
    // the call failed and why, as a RemoteError.
    try {
        reply = receiver ? receiver->Receive(request, peer) : DispatchRequest(nullptr, request, peer);
    } catch (const std::exception& e) {
        if (link.closed.load(std::memory_order_acquire)) return nullptr;
        throw RemoteError(Describe(objectId, methodId) + " failed: " + e.what());
    } catch (...) {
        if (link.closed.load(std::memory_order_acquire)) return nullptr;
        throw RemoteError(Describe(objectId, methodId) + " failed with an unknown exception");
    }
    if (link.closed.load(std::memory_order_acquire)) return nullptr;
    if (!reply) throw RemoteError("no reply for " + Describe(objectId, methodId));
    if (reply->Size() > limits.maxFrameSize)
        throw LimitError("reply of " + std::to_string(reply->Size()) + " bytes for " + Describe(objectId, methodId) +
                         " exceeds the frame size limit of " + std::to_string(limits.maxFrameSize) + " bytes");
    reply->Seek(0);
    return reply;
}

}  // namespace

void Register(const std::string& name, bool exclusive, ServerRegistration registration) {
    ServerTable& table = Servers();
    ServerRegistration replaced;  // destroyed after the lock: a listener's threads take it
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.servers.find(name);
    if (found != table.servers.end()) {
        if (exclusive && found->second.owner != registration.owner && LiveOwner(found->second))
            throw ConnectError("server name '" + name + "' is already served in this process");
        if (!registration.listener) registration.listener = found->second.listener;
        replaced = std::move(found->second);
    }
    table.servers[name] = std::move(registration);
}

void Unregister(const std::string& name, const Connector* owner) {
    ServerTable& table = Servers();
    ServerRegistration removed;
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.servers.find(name);
    if (found != table.servers.end() && found->second.owner == owner) {
        removed = std::move(found->second);
        table.servers.erase(found);
    }
}

bool HasListener(const std::string& name) {
    ServerTable& table = Servers();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.servers.find(name);
    return found != table.servers.end() && found->second.listener && LiveOwner(found->second);
}

bool AttachListener(const std::string& name, const Connector* owner, std::shared_ptr<socket::Listener> listener) {
    ServerTable& table = Servers();
    std::unique_lock<std::mutex> lock(table.mutex);
    auto found = table.servers.find(name);
    if (found == table.servers.end() || found->second.owner != owner) {
        lock.unlock();  // the listener's threads take the lock when it stops
        listener.reset();
        return false;
    }
    found->second.listener = std::move(listener);
    return true;
}

std::pair<ServerRegistration, std::shared_ptr<Connector>> Current(const std::string& name) {
    ServerTable& table = Servers();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto found = table.servers.find(name);
    if (found == table.servers.end()) return {};
    ServerRegistration registration = found->second;
    registration.listener.reset();  // the caller may run on the listener's own thread
    return {std::move(registration), LiveOwner(found->second)};
}

std::shared_ptr<ConnectionHandler> Connect(const std::string& name, const std::shared_ptr<Connector>& client,
                                           const std::vector<std::string>& modules,
                                           const std::string& checksum) {
    ServerRegistration registration;
    std::shared_ptr<Connector> server;
    {
        ServerTable& table = Servers();
        std::lock_guard<std::mutex> lock(table.mutex);
        auto found = table.servers.find(name);
        if (found == table.servers.end()) return nullptr;
        server = LiveOwner(found->second);
        if (!server) return nullptr;
        registration = found->second;
    }

    CheckChecksums(name, registration.checksum, checksum);
    // Module ids are indexes into each side's list: the lists must agree where both have entries.
    for (std::size_t i = 0; i < modules.size() && i < registration.modules.size(); ++i)
        if (modules[i] != registration.modules[i])
            throw ConnectError("server '" + name + "' has module '" + registration.modules[i] + "' at id " +
                               std::to_string(i) + " where the client has '" + modules[i] + "'");

    const Limits limits = server->GetLimits();
    auto link = std::make_shared<Link>();
    link->limits = limits;
    link->serverName = name;
    link->clientConnector = client;
    link->serverConnector = server;
    auto serverEnd = std::make_shared<Handler>(registration.modules, true, limits, link, nullptr);
    auto clientEnd = std::make_shared<Handler>(modules, false, limits, link, serverEnd);
    link->server = serverEnd;
    link->client = clientEnd;

    try {
        std::shared_ptr<IStub> root = registration.rootFactory(registration.root, 0, serverEnd);
        if (!root) throw IpcError("the root stub factory of type '" + registration.rootTypeName + "' made no stub");
        serverEnd->Registry().AddStub(0, registration.rootTypeName, std::move(root));
        server->ClientConnected(serverEnd);
    } catch (const std::exception& e) {
        // Not connected yet, so no Disconnected: just release what was made.
        link->closed.store(true, std::memory_order_release);
        serverEnd->Registry().Close();
        throw ConnectError("connecting to server '" + name + "' failed: " + e.what());
    }
    return clientEnd;
}

}  // namespace zel::proglibs::ipc2::detail::inprocess
