// The objects that live on one connection: stubs by id and by (object, type name), proxies by the
// remote id, held weakly.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "ipc2/connectionhandler.h"
#include "ipc2/limits.h"

namespace zel::proglibs::ipc2 {

// Thread-safe. Counts of stubs change only under the registry's lock (so a stub's count needs no
// lock of its own); a stub's Receive, a factory's product being destroyed, and an implementation
// being released all happen outside it. Factories run without the lock too: they are user code and
// may call back into the registry (a proxy's constructor asks its handler for a module id).
class ObjectRegistry {
public:
    explicit ObjectRegistry(int maxStubs = Limits{}.maxStubsPerConnection);
    ~ObjectRegistry();

    // The stub registered for (object, typeName) with its count raised, or the factory's stub
    // registered under a fresh positive id (ids are not reused until the int range wraps). When
    // another thread registers the same object while the factory runs, that stub is returned with
    // its count raised and the factory's is dropped. Throws LimitError when the connection already
    // has its maximum of stubs, IpcError when the factory makes no stub or one with another id.
    std::shared_ptr<IStub> GetOrCreateStub(void* object, const std::string& typeName, const StubFactory& factory,
                                           const std::shared_ptr<ConnectionHandler>& handler);
    // Registers a stub under a fixed id (the root object's stub, id 0). Throws IpcError when the id
    // or the (object, typeName) pair is taken, or the stub is null. Once closed, keeps nothing.
    void AddStub(int id, const std::string& typeName, std::shared_ptr<IStub> stub);
    std::shared_ptr<IStub> GetStub(int id) const;
    // The live proxy of id with its count raised, or the factory's proxy, registered weakly. When
    // another thread registers a proxy for id while the factory runs, that one is returned as it is
    // and the factory's is dropped: each arrival of the remote object carries one reference, and the
    // dropped proxy gives its own back when it is destroyed. Throws IpcError for a null proxy.
    std::shared_ptr<IProxy> GetOrCreateProxy(int id, const ProxyFactory& factory,
                                             const std::shared_ptr<ConnectionHandler>& handler);
    // Forgets id, but only while no live proxy holds it: the destructor of an old proxy may run
    // after a new proxy for the same id was registered.
    void RemoveProxy(int id);
    // Lowers the count; drops the stub at 0 (or below). Returns the new count. A stub that is not
    // (or no longer) registered is left alone and 0 is returned. A stub whose own count fails
    // (DecreaseReferenceCount throws) is dropped, and the exception passed on with no lock held.
    int DecreaseStubReferenceCount(const std::shared_ptr<IStub>& stub, int count, const std::string& typeName);

    // Drops every stub (their implementations are released after the lock is let go) and forgets
    // every proxy. Returns how many stubs were dropped.
    std::size_t Clear();
    // Clear() for a connection that has ended: from now on a stub is still made when asked for (a
    // request that was running returns an object), but no longer kept. Kept, it would keep its
    // handler, and the handler its registry, for good.
    std::size_t Close();

    std::size_t StubCount() const;
    std::size_t ProxyCount() const;

private:
    struct StubKey {
        void* object;
        std::string typeName;
        bool operator==(const StubKey& o) const { return object == o.object && typeName == o.typeName; }
    };
    struct StubKeyHash {
        std::size_t operator()(const StubKey& k) const noexcept;
    };
    struct StubEntry {
        std::shared_ptr<IStub> stub;
        StubKey key;
    };

    mutable std::mutex mutex_;
    bool closed_ = false;
    int maxStubs_;
    int nextId_ = 1;
    std::unordered_map<int, StubEntry> stubsById_;
    std::unordered_map<StubKey, int, StubKeyHash> stubIds_;
    std::unordered_map<int, std::weak_ptr<IProxy>> proxies_;
};

// A ConnectionHandler whose object operations are an ObjectRegistry and whose module ids come from
// the connection's module list; transports and test doubles implement the messaging half.
class RegistryConnectionHandler : public ConnectionHandler {
public:
    RegistryConnectionHandler(std::vector<std::string> modules, bool isServer);
    RegistryConnectionHandler(std::vector<std::string> modules, bool isServer, const Limits& limits);

    // The index of `module` in the module list. Throws ProtocolError for a module not in it.
    // Takes no lock: proxies and stubs call it from their constructors, inside factories.
    unsigned char GetModuleId(std::string module) override;
    bool IsServer() const override { return isServer_; }
    std::shared_ptr<IStub> GetOrCreateStub(void* object, std::string typeName, StubFactory factory) override;
    std::shared_ptr<IStub> GetStub(int id) override;
    std::shared_ptr<IProxy> GetOrCreateProxy(int id, ProxyFactory factory) override;
    void RemoveProxy(int id) override;
    void DecreaseStubReferenceCount(std::shared_ptr<IStub> stub, int count, std::string typeName) override;

    // Throws StreamError for a negative size. The frame size limit is the transport's to check
    // when the message is sent.
    std::shared_ptr<ByteStream> Allocate(int size) override;
    void Free(std::shared_ptr<ByteStream> stream) override;

    const std::vector<std::string>& Modules() const { return modules_; }
    ObjectRegistry& Registry() { return registry_; }
    const Limits& GetLimits() const { return limits_; }

protected:
    // Called once when the last proxy of the connection has been removed after at least one
    // existed: nothing on this side can reach the peer any more. The default does nothing.
    virtual void OnLastProxyRemoved() {}

private:
    std::vector<std::string> modules_;
    bool isServer_;
    Limits limits_;
    ObjectRegistry registry_;
    std::atomic<bool> hadProxy_{false};
    std::atomic<bool> lastProxyReported_{false};
};

}  // namespace zel::proglibs::ipc2
