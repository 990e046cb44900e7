// The entry points of the library: a client connects to the service, a service registers its root
// implementation. Both go through the one connector of the process.
#include <atomic>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "aai/broker.h"
#include "aai/brokers.h"
#include "aai/detail/connector.h"
#include "aai/detail/referencecodec.h"
#include "aai/connections.h"
#include "aai/detail/service.h"
#include "aai/detail/site.h"
#include "aai/detail/wire.h"
#include "aai/interfaces.h"
#include "ipc2/connector.h"
#include "ipc2/marshallers.h"
#include "trace/trace.h"

namespace zel::iface::aai {

namespace {

constexpr char kComponent[] = "AAI";
constexpr char kConnectFunction[] = "zel::iface::aai::IAAServiceConnector::Connect";

// The module list is rebuilt for each use: the runtime takes it by value.
std::vector<std::string> Modules() {
    return std::vector<std::string>(std::begin(detail::kModules), std::end(detail::kModules));
}

void TraceCall(int line, const char* function) {
    if (trace_enabled(2)) dus_trc_log(__FILE__, line, function, kComponent, dus_trc_msg(""));
}

// Every proxy and stub of a connection is made by the bundle's broker, on whatever thread the
// runtime uses; a bundle without one is refused here, where the mistake is the caller's to see.
bool HasBroker(const std::shared_ptr<InterfaceBrokers>& brokers, int line, const char* function) {
    if (brokers && brokers->aaiBroker) return true;
    detail::ReportFatal(__FILE__, line, function, "The broker bundle has no broker of this library");
    return false;
}

}  // namespace

class IAAServiceConnector : public proglibs::ipc2::Connector {
public:
    IAAServiceConnector() = default;
    // The root implementation goes before the runtime's connector that served it.
    ~IAAServiceConnector() override = default;

    std::shared_ptr<IAAService> Connect(const std::string& address, const std::shared_ptr<InterfaceBrokers>& brokers) {
        return detail::Handshake(ConnectImpl(detail::kServerName, address, Modules()), brokers);
    }

    void RegisterServer(std::shared_ptr<IAAService> implementation, bool exclusive,
                        std::shared_ptr<InterfaceBrokers> brokers) {
        void* const object = implementation.get();
        std::atomic_store(&root_, std::move(implementation));
        SetProtocolChecksum(detail::kProtocolChecksum);
        // Each connection's root stub is made when the connection first needs it, by the broker
        // the bundle holds then, for the implementation registered then. The connector outlives
        // every registration, so the factory may refer to it. A connection that arrives as the
        // server is unregistered (or one registered with no implementation) gets no root stub,
        // which refuses it, rather than a stub that would call nothing.
        proglibs::ipc2::StubFactory factory = [this, brokers](void* raw, int id,
                                                              std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler)
            -> std::shared_ptr<proglibs::ipc2::IStub> {
            std::shared_ptr<IAAService> root = std::atomic_load(&root_);
            if (!root || !brokers->aaiBroker) return nullptr;
            return brokers->aaiBroker->makeAAServiceStub(raw, id, std::move(handler), brokers, std::move(root));
        };
        RegisterServerImpl(detail::kServerName, exclusive, detail::kRootWireName, object, std::move(factory), Modules());
    }

    void UnregisterServer() {
        UnregisterServerImpl();
        std::atomic_store(&root_, std::shared_ptr<IAAService>());
    }

private:
    // Written by (un)registering, read by the root stub factory on the runtime's threads.
    std::shared_ptr<IAAService> root_;
};

namespace {
// Made at load and kept for the life of the process; owned by a shared_ptr so that the runtime's
// connector can hand out references to itself.
const std::shared_ptr<IAAServiceConnector> connector(new IAAServiceConnector);
}  // namespace

std::shared_ptr<IAAService> IAAService::Connect() {
    TraceCall(__LINE__, "zel::iface::aai::IAAService::Connect");
    return connector->Connect(std::string(), MakeInterfaceBrokers());
}

std::shared_ptr<IAAService> IAAService::ConnectUsingBrokers(std::shared_ptr<InterfaceBrokers> brokers) {
    constexpr char kFunction[] = "zel::iface::aai::IAAService::ConnectUsingBrokers";
    TraceCall(__LINE__, kFunction);
    if (!HasBroker(brokers, __LINE__, kFunction)) return nullptr;
    return connector->Connect(std::string(), brokers);
}

void IAAService::RegisterServer(std::shared_ptr<IAAService> implementation) {
    connector->RegisterServer(std::move(implementation), false, MakeInterfaceBrokers());
}

void IAAService::RegisterServerUsingBrokers(std::shared_ptr<IAAService> implementation,
                                            std::shared_ptr<InterfaceBrokers> brokers) {
    if (!HasBroker(brokers, __LINE__, "zel::iface::aai::IAAService::RegisterServerUsingBrokers")) return;
    connector->RegisterServer(std::move(implementation), false, std::move(brokers));
}

void SetConnectionLimits(const proglibs::ipc2::Limits& limits) { connector->SetLimits(limits); }

proglibs::ipc2::Limits GetConnectionLimits() { return connector->GetLimits(); }

void SetServiceSocketAccess(mode_t mode, gid_t group) { connector->SetSocketAccess(mode, group); }

void SetServiceUser(uid_t uid) { connector->SetServerUser(uid); }

void IAAService::UnregisterServer() {
    TraceCall(__LINE__, "zel::iface::aai::IAAService::UnregisterServer");
    connector->UnregisterServer();
}

namespace detail {

std::shared_ptr<IAAService> Handshake(const Handler& handler, const Brokers& brokers) {
    if (!handler) {
        ReportFatal(__FILE__, __LINE__, kConnectFunction,
                    std::string("No connection to the server '") + kServerName + "'");
        return nullptr;
    }
    Stream request = handler->Allocate(kHeaderSize);
    // Object 0, module 0, method 0: the root's connect request, the same for every library.
    WriteHeader(*request, 0, 0, 0);
    Stream reply = handler->Send(std::move(request), true);
    struct FreeOnExit {
        const Handler& handler;
        Stream& stream;
        ~FreeOnExit() { handler->Free(std::move(stream)); }
    } guard{handler, reply};
    if (!reply) {
        ReportFatal(__FILE__, __LINE__, kConnectFunction,
                    std::string("The connection to the server '") + kServerName + "' was lost during the connect request");
        return nullptr;
    }
    const Context context{handler, brokers};
    std::shared_ptr<IAAService> root = Codec<std::shared_ptr<IAAService>>::decode(reply, context);
    const std::string serverVersion = proglibs::ipc2::wire::GetString(*reply);
    if (serverVersion != kClientVersion) {
        ReportFatal(__FILE__, __LINE__, kConnectFunction,
                    "Server version differs from client version (" + serverVersion + " != " + kClientVersion + ")");
    }
    return root;
}

}  // namespace detail
}  // namespace zel::iface::aai
