#include "ipc2/connector.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "internal.h"
#include "ipc2/errors.h"
#include "socket/transport.h"
#include "trace/trace.h"

namespace zel::proglibs::ipc2 {

namespace {

// Bytes of a request before its arguments: object id, module, method id.
constexpr std::size_t kHeaderSize = 9;
// A call log line shows at most this much of a payload, so one large message cannot flood the log.
constexpr std::size_t kMaxLoggedPayload = 256;

// The socket a name is served on: the address when one is given, else the default for the name.
std::string SocketPath(const std::string& serverName, const std::string& address) {
    return address.empty() ? socket::DefaultSocketPath(serverName) : address;
}

// Where a client's connection goes: a server of this process first, then the name's socket.
std::shared_ptr<ConnectionHandler> OpenConnection(const std::string& serverName, const std::string& address,
                                                  const std::shared_ptr<Connector>& client,
                                                  const std::vector<std::string>& modules,
                                                  const std::string& checksum, const Limits& limits) {
    if (address.empty()) {
        if (auto handler = detail::inprocess::Connect(serverName, client, modules, checksum)) return handler;
    }
    socket::ServerInfo server;
    std::shared_ptr<ConnectionHandler> handler;
    try {
        handler = socket::Connect(SocketPath(serverName, address), modules, std::weak_ptr<IReceiver>(client), limits,
                                  &server);
    } catch (const ConnectError& e) {
        if (!address.empty()) throw;
        throw ConnectError("no server '" + serverName + "' in this process, and " + e.what());
    }
    // The server announces its checksum in the handshake; a client that speaks another protocol
    // leaves before its first call (the server sees a connection come and go).
    try {
        detail::CheckChecksums(serverName, server.checksum, checksum);
    } catch (...) {
        handler->Close();
        throw;
    }
    return handler;
}

// Hands the requests of a name's socket connections to the connector serving the name at the time,
// or, once nobody does, straight to the stubs (open connections stay served).
class NameReceiver final : public IReceiver {
public:
    explicit NameReceiver(std::string name) : name_(std::move(name)) {}
    std::shared_ptr<ByteStream> Receive(std::shared_ptr<ByteStream> request,
                                        std::shared_ptr<ConnectionHandler> handler) override {
        if (auto connector = detail::inprocess::Current(name_).second) return connector->Receive(request, handler);
        return detail::DispatchRequest(nullptr, request, handler);
    }

private:
    std::string name_;
};

// One receiver per name for the life of the process, since connections outlive registrations.
std::weak_ptr<IReceiver> ReceiverFor(const std::string& name) {
    static std::mutex mutex;
    static auto* receivers = new std::map<std::string, std::shared_ptr<IReceiver>>;
    std::lock_guard<std::mutex> lock(mutex);
    auto& receiver = (*receivers)[name];
    if (!receiver) receiver = std::make_shared<NameReceiver>(name);
    return receiver;
}

// A connection arriving on the name's socket is served by whichever connector serves the name when
// it arrives: it gets that registration's root stub, as an in-process connection does. Its end is
// told to the connector that was told of its start, which may no longer serve the name by then.
socket::ServerHooks SocketHooks(const std::string& name) {
    struct Told {
        std::mutex mutex;
        std::map<const ConnectionHandler*, std::weak_ptr<Connector>> connectors;
    };
    auto told = std::make_shared<Told>();
    socket::ServerHooks hooks;
    hooks.receiver = ReceiverFor(name);
    hooks.connected = [name, told](const std::shared_ptr<RegistryConnectionHandler>& handler) {
        auto [registration, connector] = detail::inprocess::Current(name);
        if (!connector) throw ConnectError("server '" + name + "' is no longer registered");
        std::shared_ptr<IStub> root = registration.rootFactory(registration.root, 0, handler);
        if (!root) throw IpcError("the root stub factory of type '" + registration.rootTypeName + "' made no stub");
        handler->Registry().AddStub(0, registration.rootTypeName, std::move(root));
        // Before ClientConnected: the connection may end while it runs.
        {
            std::lock_guard<std::mutex> lock(told->mutex);
            told->connectors[handler.get()] = connector;
        }
        try {
            connector->ClientConnected(handler);
        } catch (...) {
            std::lock_guard<std::mutex> lock(told->mutex);
            told->connectors.erase(handler.get());
            throw;
        }
    };
    hooks.checksum = [name] { return detail::inprocess::Current(name).first.checksum; };
    hooks.disconnected = [told](const std::shared_ptr<ConnectionHandler>& handler) {
        std::weak_ptr<Connector> connector;
        {
            std::lock_guard<std::mutex> lock(told->mutex);
            auto found = told->connectors.find(handler.get());
            if (found == told->connectors.end()) return;
            connector = std::move(found->second);
            told->connectors.erase(found);
        }
        if (auto c = connector.lock()) c->Disconnected(handler);
    };
    return hooks;
}

}  // namespace

struct Connector::State {
    mutable std::mutex mutex;
    Limits limits;
    std::string checksum;
    std::string servedName;  // empty while not serving
    mode_t socketMode = 0600;
    gid_t socketGroup = static_cast<gid_t>(-1);
};

Connector::Connector() : state_(std::make_unique<State>()) {}

Connector::~Connector() { UnregisterServerImpl(); }

void Connector::SetLimits(const Limits& limits) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->limits = limits;
}

void Connector::SetSocketAccess(mode_t mode, gid_t group) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->socketMode = mode;
    state_->socketGroup = group;
}

Limits Connector::GetLimits() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->limits;
}

void Connector::SetProtocolChecksum(const std::string& checksum) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->checksum = checksum;
}

std::shared_ptr<ConnectionHandler> Connector::ConnectImpl(std::string serverName, std::string address,
                                                          std::vector<std::string> modules) {
    std::string checksum;
    Limits limits;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        checksum = state_->checksum;
        limits = state_->limits;
    }
    return OpenConnection(serverName, address, weak_from_this().lock(), modules, checksum, limits);
}

void Connector::RegisterServerImpl(std::string serverName, bool exclusive, std::string rootTypeName, void* root,
                                   StubFactory rootFactory, std::vector<std::string> modules) {
    if (serverName.empty()) throw IpcError("a server needs a name to be registered under");
    if (!rootFactory) throw IpcError("server '" + serverName + "' registered without a root stub factory");
    detail::ServerRegistration registration;
    registration.owner = this;
    registration.rootTypeName = std::move(rootTypeName);
    registration.root = root;
    registration.rootFactory = std::move(rootFactory);
    registration.modules = std::move(modules);
    // The socket stays with the name: only the first connector of the process to serve it binds it,
    // and only once the name is registered, so that a client quick to find the socket file finds
    // the server behind it too. Two connectors registering one name at once would both try to bind
    // it, and the one that failed would take the name from the other; one connector registering
    // two names at once would leave one of them registered under its name for good. Registrations
    // of the process run one at a time (they are rare).
    static std::mutex registering;
    std::string previous;
    {
        std::lock_guard<std::mutex> oneAtATime(registering);
        socket::ServerConfig config;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            registration.checksum = state_->checksum;
            previous = state_->servedName;
            config.limits = state_->limits;
            config.mode = state_->socketMode;
            config.group = state_->socketGroup;
        }
        config.modules = registration.modules;
        config.checksum = registration.checksum;
        const bool bind = !detail::inprocess::HasListener(serverName);
        if (bind) config.path = socket::DefaultSocketPath(serverName);
        detail::inprocess::Register(serverName, exclusive, std::move(registration));
        if (bind) {
            try {
                detail::inprocess::AttachListener(serverName, this,
                                                  socket::Listener::Start(std::move(config), SocketHooks(serverName)));
            } catch (...) {
                detail::inprocess::Unregister(serverName, this);
                throw;
            }
        }
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->servedName = serverName;
    }
    // A connector serves one name: moving to another gives up the old one (outside the lock: the
    // old name's listener waits for its handshakes, which run the application's ClientConnected).
    if (!previous.empty() && previous != serverName) detail::inprocess::Unregister(previous, this);
}

void Connector::UnregisterServerImpl() {
    std::string name;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        name.swap(state_->servedName);
    }
    // With the name goes its socket: accepting stops and the file is removed; open connections stay.
    if (!name.empty()) detail::inprocess::Unregister(name, this);
}

std::shared_ptr<ByteStream> Connector::Receive(std::shared_ptr<ByteStream> request,
                                               std::shared_ptr<ConnectionHandler> handler) {
    return detail::DispatchRequest(this, request, handler);
}

void Connector::ClientConnected(std::shared_ptr<ConnectionHandler> handler) { (void)handler; }

void Connector::Disconnected(std::shared_ptr<ConnectionHandler> handler) { (void)handler; }

void Connector::LogCall(const ConnectionHandler& handler, CallDirection direction, const ByteStream& message,
                        bool sendFlag) {
    detail::WriteCallLog(handler, direction, message, sendFlag);
}

namespace {

// The connections whose requests this thread runs, innermost first.
struct RunningRequest {
    const std::shared_ptr<ConnectionHandler>* connection;
    const RunningRequest* outer;
};
thread_local const RunningRequest* tlsRunning = nullptr;

class RunningScope {
public:
    explicit RunningScope(const std::shared_ptr<ConnectionHandler>& connection) : r_{&connection, tlsRunning} {
        tlsRunning = &r_;
    }
    ~RunningScope() { tlsRunning = r_.outer; }
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;

private:
    RunningRequest r_;
};

}  // namespace

std::shared_ptr<ConnectionHandler> CurrentConnection() {
    return tlsRunning != nullptr ? *tlsRunning->connection : nullptr;
}

namespace detail {

void CheckChecksums(const std::string& serverName, const std::string& server, const std::string& client) {
    if (!server.empty() && !client.empty() && server != client)
        throw ConnectError("server '" + serverName + "' speaks protocol " + server + ", the client " + client);
}

std::shared_ptr<ByteStream> DispatchRequest(Connector* logger, const std::shared_ptr<ByteStream>& request,
                                            const std::shared_ptr<ConnectionHandler>& handler) {
    if (!request || !handler) throw IpcError("a request needs a message and a connection");
    const std::size_t start = request->Position();
    const int objectId = ReadLe32(*request);
    std::shared_ptr<IStub> stub = handler->GetStub(objectId);
    if (!stub) throw RemoteError("no object with id " + std::to_string(objectId) + " on this connection");
    // A request too short to name its method is logged without payload; the stub rejects it.
    bool sendFlag = false;
    if (request->Size() >= start + kHeaderSize)
        sendFlag = stub->GetSendFlag(static_cast<int>(LoadLe32(request->Data() + start + 5)));
    if (logger)
        logger->LogCall(*handler, CallDirection::Incoming, *request, sendFlag);
    else
        WriteCallLog(*handler, CallDirection::Incoming, *request, sendFlag);
    RunningScope running(handler);
    return stub->Receive(request, handler);
}

void WriteCallLog(const ConnectionHandler& handler, CallDirection direction, const ByteStream& message,
                  bool sendFlag) {
    if (!trace_enabled(3)) return;
    const unsigned char* data = message.Data();
    const std::size_t size = message.Size();
    const long objectId = size >= 4 ? static_cast<std::int32_t>(LoadLe32(data)) : -1L;
    const int module = size >= 5 ? data[4] : -1;
    const long methodId = size >= kHeaderSize ? static_cast<std::int32_t>(LoadLe32(data + 5)) : -1L;

    std::string payload;
    if (sendFlag && size > kHeaderSize) {
        static const char kDigits[] = "0123456789abcdef";
        const std::size_t shown = std::min(size - kHeaderSize, kMaxLoggedPayload);
        payload.reserve(2 * shown + 32);
        for (std::size_t i = 0; i < shown; ++i) {
            payload += kDigits[data[kHeaderSize + i] >> 4];
            payload += kDigits[data[kHeaderSize + i] & 0xF];
        }
        if (shown < size - kHeaderSize) payload += " (" + std::to_string(size - kHeaderSize - shown) + " more bytes)";
    }
    dus_trc_log(__FILE__, __LINE__, __func__, "ipc2",
                dus_trc_msg("call %s %s object %ld module %d method %ld size %zu payload %s",
                            direction == CallDirection::Outgoing ? "out" : "in",
                            handler.IsServer() ? "server" : "client", objectId, module, methodId, size,
                            sendFlag ? payload.c_str() : "withheld"));
}

}  // namespace detail
}  // namespace zel::proglibs::ipc2
