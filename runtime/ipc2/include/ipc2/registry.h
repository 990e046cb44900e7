// The objects that live on one connection: stubs by id and by (object, type name), proxies by the
// remote id, held weakly.
#pragma once

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
// being released all happen outside it.
class ObjectRegistry {
public:
    explicit ObjectRegistry(int maxStubs = Limits{}.maxStubsPerConnection);
    ~ObjectRegistry();

    std::shared_ptr<IStub> GetOrCreateStub(void* object, const std::string& typeName, const StubFactory& factory,
                                           const std::shared_ptr<ConnectionHandler>& handler);
    // Registers a stub under a fixed id (the root object's stub, id 0).
    void AddStub(int id, const std::string& typeName, std::shared_ptr<IStub> stub);
    std::shared_ptr<IStub> GetStub(int id) const;
    std::shared_ptr<IProxy> GetOrCreateProxy(int id, const ProxyFactory& factory,
                                             const std::shared_ptr<ConnectionHandler>& handler);
    void RemoveProxy(int id);
    // Lowers the count; drops the stub at 0 (or below). Returns the new count.
    int DecreaseStubReferenceCount(const std::shared_ptr<IStub>& stub, int count, const std::string& typeName);

    // Drops every stub (their implementations are released after the lock is let go) and forgets
    // every proxy. Returns how many stubs were dropped.
    std::size_t Clear();

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

    unsigned char GetModuleId(std::string module) override;
    bool IsServer() const override { return isServer_; }
    std::shared_ptr<IStub> GetOrCreateStub(void* object, std::string typeName, StubFactory factory) override;
    std::shared_ptr<IStub> GetStub(int id) override;
    std::shared_ptr<IProxy> GetOrCreateProxy(int id, ProxyFactory factory) override;
    void RemoveProxy(int id) override;
    void DecreaseStubReferenceCount(std::shared_ptr<IStub> stub, int count, std::string typeName) override;

    std::shared_ptr<ByteStream> Allocate(int size) override;
    void Free(std::shared_ptr<ByteStream> stream) override;

    const std::vector<std::string>& Modules() const { return modules_; }
    ObjectRegistry& Registry() { return registry_; }

protected:
    // Called once when the last proxy of the connection has been removed after at least one
    // existed: nothing on this side can reach the peer any more. The default does nothing.
    virtual void OnLastProxyRemoved() {}

private:
    std::vector<std::string> modules_;
    bool isServer_;
    ObjectRegistry registry_;
};

}  // namespace zel::proglibs::ipc2
