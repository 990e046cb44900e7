#include "aai/detail/proxycore.h"

#include "aai/detail/service.h"
#include "ipc2/marshallers.h"

namespace zel::iface::aai::detail {

ProxyCore::ProxyCore(int objectId, Handler handler, Brokers brokers)
    : objectId_(objectId),
      handler_(std::move(handler)),
      brokers_(std::move(brokers)),
      // Every request names this library's module; the connection's module list decides the byte.
      module_(handler_->GetModuleId(kModuleName)) {}

void ProxyCore::AddReference() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
}

void ProxyCore::Release(int releaseId) {
    // The handler forgets the proxy whatever becomes of the release: an entry it kept would keep
    // the connection from ever seeing its last proxy go.
    struct Forget {
        const Handler& handler;
        int id;
        ~Forget() {
            try {
                handler->RemoveProxy(id);
            } catch (...) {
                // Called from a destructor, like the release: nothing may escape.
            }
        }
    } forget{handler_, objectId_};
    Stream request = handler_->Allocate(kHeaderSize + 4);
    WriteHeader(*request, objectId_, module_, releaseId);
    // Only the destructor releases, when no other thread can hold the proxy any more.
    proglibs::ipc2::wire::PutInt(*request, count_);
    // Nothing is read from a release's reply, so the transport need not wait for it.
    handler_->Post(std::move(request), true);
}

Stream ProxyCore::Begin(int methodId, int argumentsSize) const {
    Stream request = handler_->Allocate(kHeaderSize + argumentsSize);
    WriteHeader(*request, objectId_, module_, methodId);
    return request;
}

}  // namespace zel::iface::aai::detail
