#include "served.h"

#include <map>
#include <utility>

#include "agreement.h"
#include "ipc2/errors.h"
#include "socket/channel.h"
#include "socket/listener.h"
#include "sync.h"

namespace zel::proglibs::ipc2::detail::served {

namespace {

struct Entry {
    Registration registration;
    std::shared_ptr<socket::Listener> listener;
};

// Never destroyed: connectors held by static objects unregister during exit.
struct Table {
    Mutex mutex;
    std::map<std::string, Entry> entries ZEL_GUARDED_BY(mutex);
};

Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

// A registration counts while its connector lives. Asked with the table's lock held, which keeps
// the connector's destructor (it unregisters) from finishing meanwhile; no strong reference is
// let go under the lock, since the last one would run that destructor here.
bool Live(const Registration& r) { return !r.owner->weak_from_this().expired(); }

// The name's socket is served by whoever serves the name when a client says hello.
socket::Admitted AdmitSocketClient(const std::string& name, const socket::Hello& hello, socket::Channel& channel) {
    const std::optional<Server> server = Find(name);
    if (!server) throw ConnectError("server '" + name + "' is no longer registered");
    std::vector<std::string> modules = AgreeModules(server->registration.modules, hello.modules);
    auto end = std::make_shared<Endpoint>(Endpoint::Options{modules, true, server->connector->GetLimits(), name},
                                          channel.shared_from_this());
    channel.Attach(end);
    Admit(*server, end);
    return socket::Admitted{server->registration.checksum, std::move(modules)};
}

// Puts the registration in the table; true when the name has a live socket already.
bool Put(const std::string& name, bool exclusive, Registration registration) {
    Table& table = TheTable();
    Entry replaced;  // destroyed after the lock
    MutexLock lock(table.mutex);
    auto found = table.entries.find(name);
    if (found == table.entries.end()) {
        table.entries[name] = Entry{std::move(registration), nullptr};
        return false;
    }
    if (exclusive && found->second.registration.owner != registration.owner && Live(found->second.registration))
        throw ConnectError("server name '" + name + "' is already served in this process");
    const bool hasSocket = found->second.listener && Live(found->second.registration);
    replaced.registration = std::move(found->second.registration);
    found->second.registration = std::move(registration);
    if (!hasSocket) replaced.listener = std::move(found->second.listener);
    return hasSocket;
}

// Gives the registration of `owner` under `name` its socket, unless it went meanwhile.
void Attach(const std::string& name, const Connector* owner, std::shared_ptr<socket::Listener> listener) {
    Table& table = TheTable();
    MutexLock lock(table.mutex);
    auto found = table.entries.find(name);
    if (found == table.entries.end() || found->second.registration.owner != owner) {
        lock.Unlock();  // the listener's threads take the lock as it stops
        listener.reset();
        return;
    }
    found->second.listener = std::move(listener);
}

}  // namespace

void Register(const std::string& name, bool exclusive, Registration registration, const SocketAccess& access) {
    // Registrations of the process run one at a time (they are rare): two connectors registering
    // one name at once would both try to bind its socket, and the one that failed would take the
    // name from the other.
    // Taken before the table's lock, never after it.
    static Mutex* registering = new Mutex;
    MutexLock oneAtATime(*registering);
    const Connector* owner = registration.owner;
    // The socket's path first: a name that cannot have one is refused before it is served.
    socket::Listener::Options options{{socket::DefaultSocketPath(name, true), access.mode, access.group}};
    if (owner != nullptr) options.maxConnectionsPerUser = owner->GetLimits().maxConnectionsPerUser;
    if (Put(name, exclusive, std::move(registration))) return;
    // The socket is published only now that the name is served, so that a client quick to find
    // the file finds the server behind it too.
    try {
        auto admit = [name](const socket::Hello& hello, socket::Channel& channel) {
            return AdmitSocketClient(name, hello, channel);
        };
        Attach(name, owner, socket::Listener::Start(std::move(options), std::move(admit)));
    } catch (...) {
        Unregister(name, owner);
        throw;
    }
}

void Unregister(const std::string& name, const Connector* owner) {
    Table& table = TheTable();
    Entry removed;  // destroyed after the lock: the listener's threads take it as it stops
    MutexLock lock(table.mutex);
    auto found = table.entries.find(name);
    if (found != table.entries.end() && found->second.registration.owner == owner) {
        removed = std::move(found->second);
        table.entries.erase(found);
    }
}

std::optional<Server> Find(const std::string& name) {
    std::optional<Server> server;  // its connector is let go after the lock
    Table& table = TheTable();
    MutexLock lock(table.mutex);
    auto found = table.entries.find(name);
    if (found == table.entries.end()) return server;
    std::shared_ptr<Connector> connector = found->second.registration.owner->weak_from_this().lock();
    if (connector) server = Server{name, found->second.registration, std::move(connector)};
    return server;
}

void Admit(const Server& server, const std::shared_ptr<Endpoint>& end) {
    const Registration& r = server.registration;
    std::shared_ptr<IStub> root = r.rootFactory(r.root, 0, end);
    if (!root) throw IpcError("the root stub factory of type '" + r.rootTypeName + "' made no stub");
    end->Registry().AddStub(0, r.rootTypeName, std::move(root));
    // Bound before ClientConnected: the connection may end while it runs, and its end goes to the
    // connector told of its start.
    end->Bind(server.connector, true);
    try {
        server.connector->ClientConnected(end);
    } catch (...) {
        end->Unadmit();
        throw;
    }
}

}  // namespace zel::proglibs::ipc2::detail::served
