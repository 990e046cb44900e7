#include "ipc2/registry.h"

#include <climits>
#include <exception>
#include <functional>
#include <utility>

#include "ipc2/errors.h"

namespace zel::proglibs::ipc2 {

std::size_t ObjectRegistry::StubKeyHash::operator()(const StubKey& k) const noexcept {
    const std::size_t h = std::hash<const void*>()(k.object);
    return h ^ (std::hash<std::string>()(k.typeName) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
}

ObjectRegistry::ObjectRegistry(int maxStubs) : maxStubs_(maxStubs) {}

// Clear() rather than the members' own destructors: a stub's destructor may call back into this
// registry, which must then find it consistent and unlocked.
ObjectRegistry::~ObjectRegistry() { Clear(); }

namespace {

[[noreturn]] void ThrowStubLimit(int maxStubs, const std::string& typeName) {
    throw LimitError("stub limit reached: " + std::to_string(maxStubs) +
                     " stubs alive on this connection, none more for an object of type '" + typeName + "'");
}

}  // namespace

std::shared_ptr<IStub> ObjectRegistry::GetOrCreateStub(void* object, const std::string& typeName,
                                                       const StubFactory& factory,
                                                       const std::shared_ptr<ConnectionHandler>& handler) {
    const StubKey key{object, typeName};
    int id = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = stubIds_.find(key);
        if (found != stubIds_.end()) {
            const std::shared_ptr<IStub>& stub = stubsById_.at(found->second).stub;
            stub->IncreaseReferenceCount();
            return stub;
        }
        if (stubsById_.size() >= static_cast<std::size_t>(maxStubs_)) ThrowStubLimit(maxStubs_, typeName);
        // Ids are handed out in sequence so that a late message for a dropped stub does not reach
        // a newer one; only after the int range wraps are ids still in use skipped.
        do {
            id = nextId_;
            nextId_ = nextId_ == INT_MAX ? 1 : nextId_ + 1;
        } while (stubsById_.count(id) != 0);
    }

    // Declared before the lock below so that a stub we do not keep is destroyed after it is let go.
    std::shared_ptr<IStub> made = factory ? factory(object, id, handler) : nullptr;
    if (!made) throw IpcError("the stub factory for type '" + typeName + "' made no stub");
    if (made->GetId() != id)
        throw IpcError("the stub factory for type '" + typeName + "' made a stub with id " +
                       std::to_string(made->GetId()) + " instead of " + std::to_string(id));

    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return made;
    auto found = stubIds_.find(key);
    if (found != stubIds_.end()) {
        std::shared_ptr<IStub> winner = stubsById_.at(found->second).stub;
        winner->IncreaseReferenceCount();
        return winner;
    }
    if (stubsById_.size() >= static_cast<std::size_t>(maxStubs_)) ThrowStubLimit(maxStubs_, typeName);
    stubIds_.emplace(key, id);
    stubsById_.emplace(id, StubEntry{made, key});
    return made;
}

void ObjectRegistry::AddStub(int id, const std::string& typeName, std::shared_ptr<IStub> stub) {
    if (!stub) throw IpcError("no stub given for id " + std::to_string(id) + " of type '" + typeName + "'");
    StubKey key{stub->GetObject(), typeName};
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_) {
        lock.unlock();  // the stub goes without the lock, as every dropped stub does
        stub.reset();
        return;
    }
    if (stubsById_.count(id) != 0) throw IpcError("a stub is already registered under id " + std::to_string(id));
    auto found = stubIds_.find(key);
    if (found != stubIds_.end())
        throw IpcError("the object of type '" + typeName + "' is already registered under id " +
                       std::to_string(found->second));
    stubIds_.emplace(key, id);
    stubsById_.emplace(id, StubEntry{std::move(stub), std::move(key)});
}

std::shared_ptr<IStub> ObjectRegistry::GetStub(int id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = stubsById_.find(id);
    return found == stubsById_.end() ? nullptr : found->second.stub;
}

std::shared_ptr<IProxy> ObjectRegistry::GetOrCreateProxy(int id, const ProxyFactory& factory,
                                                         const std::shared_ptr<ConnectionHandler>& handler) {
    std::shared_ptr<IProxy> existing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = proxies_.find(id);
        if (found != proxies_.end()) existing = found->second.lock();
    }
    if (existing) {
        existing->IncreaseReferenceCount();
        return existing;
    }

    std::shared_ptr<IProxy> made = factory ? factory(id, handler) : nullptr;
    if (!made) throw IpcError("the proxy factory made no proxy for object " + std::to_string(id));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::weak_ptr<IProxy>& slot = proxies_[id];
        existing = slot.lock();
        if (!existing) {
            slot = made;
            return made;
        }
    }
    // Another thread registered a proxy meanwhile. Ours goes (outside the lock: its destructor
    // sends a release and calls RemoveProxy), giving back the reference its arrival carried; the
    // winner keeps the count for its own.
    return existing;
}

void ObjectRegistry::RemoveProxy(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = proxies_.find(id);
    if (found != proxies_.end() && found->second.expired()) proxies_.erase(found);
}

int ObjectRegistry::DecreaseStubReferenceCount(const std::shared_ptr<IStub>& stub, int count,
                                               const std::string& typeName) {
    (void)typeName;  // the entry remembers its own key
    if (!stub) return 0;
    const int id = stub->GetId();
    std::shared_ptr<IStub> dropped;  // destroyed after the lock is let go
    std::exception_ptr failed;       // thrown after it too
    int remaining = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = stubsById_.find(id);
        if (found == stubsById_.end() || found->second.stub != stub) return 0;
        // A stub that cannot count (its count went below zero and it reports so) is dropped.
        try {
            remaining = stub->DecreaseReferenceCount(count);
        } catch (...) {
            failed = std::current_exception();
        }
        if (remaining <= 0) {
            stubIds_.erase(found->second.key);
            dropped = std::move(found->second.stub);
            stubsById_.erase(found);
        }
    }
    if (failed) std::rethrow_exception(failed);
    return remaining;
}

std::size_t ObjectRegistry::Clear() {
    std::unordered_map<int, StubEntry> dropped;
    std::unordered_map<int, std::weak_ptr<IProxy>> forgotten;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(stubsById_);
        forgotten.swap(proxies_);
        stubIds_.clear();
    }
    return dropped.size();
}

std::size_t ObjectRegistry::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    return Clear();
}

std::size_t ObjectRegistry::StubCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stubsById_.size();
}

std::size_t ObjectRegistry::ProxyCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return proxies_.size();
}

RegistryConnectionHandler::RegistryConnectionHandler(std::vector<std::string> modules, bool isServer)
    : RegistryConnectionHandler(std::move(modules), isServer, Limits{}) {}

RegistryConnectionHandler::RegistryConnectionHandler(std::vector<std::string> modules, bool isServer,
                                                     const Limits& limits)
    : modules_(std::move(modules)), isServer_(isServer), limits_(limits), registry_(limits.maxStubsPerConnection) {}

unsigned char RegistryConnectionHandler::GetModuleId(std::string module) {
    for (std::size_t i = 0; i < modules_.size() && i <= 0xFF; ++i)
        if (modules_[i] == module) return static_cast<unsigned char>(i);
    throw ProtocolError("module '" + module + "' is not in the module list of this connection");
}

std::shared_ptr<IStub> RegistryConnectionHandler::GetOrCreateStub(void* object, std::string typeName,
                                                                  StubFactory factory) {
    return registry_.GetOrCreateStub(object, typeName, factory, shared_from_this());
}

std::shared_ptr<IStub> RegistryConnectionHandler::GetStub(int id) { return registry_.GetStub(id); }

std::shared_ptr<IProxy> RegistryConnectionHandler::GetOrCreateProxy(int id, ProxyFactory factory) {
    auto proxy = registry_.GetOrCreateProxy(id, factory, shared_from_this());
    hadProxy_.store(true, std::memory_order_release);
    return proxy;
}

void RegistryConnectionHandler::RemoveProxy(int id) {
    registry_.RemoveProxy(id);
    if (hadProxy_.load(std::memory_order_acquire) && registry_.ProxyCount() == 0 &&
        !lastProxyReported_.exchange(true, std::memory_order_acq_rel))
        OnLastProxyRemoved();
}

void RegistryConnectionHandler::DecreaseStubReferenceCount(std::shared_ptr<IStub> stub, int count,
                                                           std::string typeName) {
    registry_.DecreaseStubReferenceCount(stub, count, typeName);
}

std::shared_ptr<ByteStream> RegistryConnectionHandler::Allocate(int size) {
    if (size < 0) throw StreamError("cannot allocate a message of " + std::to_string(size) + " bytes");
    return std::make_shared<ByteStream>(static_cast<std::size_t>(size));
}

void RegistryConnectionHandler::Free(std::shared_ptr<ByteStream> stream) { (void)stream; }

}  // namespace zel::proglibs::ipc2
