#include "aai/detail/reference.h"

#include <string>

#include "aai/detail/site.h"
#include "aai/detail/wire.h"

namespace zel::iface::aai::detail {

bool OnHomeSide(const ReferenceKind& kind, const Context& context) {
    return context.handler->IsServer() == kind.homeIsService;
}

void EncodeHomeObject(const Stream& stream, std::shared_ptr<void> object, const Context& context,
                      const ReferenceKind& kind) {
    void* const raw = object.get();
    // The factory runs only when the connection has no stub for the object yet; it keeps the
    // object and the bundle so that it does not depend on this call's frame, and asks the bundle
    // for its broker only when it runs.
    proglibs::ipc2::StubFactory factory = [object = std::move(object), brokers = context.brokers, &kind](
                                              void* stubObject, int id,
                                              std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler) {
        return kind.makeStub(brokers, stubObject, id, std::move(handler), object);
    };
    const int id = context.handler->GetOrCreateStub(raw, kind.wireName, std::move(factory))->GetId();
    WriteObjectId(*stream, id);
}

void EncodeRemoteObject(const Stream& stream, bool empty, proglibs::ipc2::IProxy* proxy, const ReferenceKind& kind) {
    std::int32_t id = kNoObject;
    if (empty)
        ReportFatal(__FILE__, __LINE__, kind.encodeFunction,
                    std::string("Cannot encode an empty ") + kind.wireName + " reference");
    else if (proxy)
        id = proxy->GetId();
    else
        ReportFatal(__FILE__, __LINE__, kind.encodeFunction,
                    std::string("Cannot encode a ") + kind.wireName + " reference: the object is not a proxy");
    WriteObjectId(*stream, id);
}

Received ReceiveObject(const Stream& stream, const Context& context, const ReferenceKind& kind) {
    const std::int32_t id = ReadObjectId(*stream);
    Received received;
    if (OnHomeSide(kind, context)) {
        // An unknown id gives no stub; the broker's answer for a stub of another interface is
        // empty. Both end as a failed decode.
        received.stub = context.handler->GetStub(id);
    } else if (id >= 0) {
        proglibs::ipc2::ProxyFactory factory = [brokers = context.brokers, &kind](
                                                   int proxyId, std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler) {
            return kind.makeProxy(brokers, proxyId, std::move(handler));
        };
        received.proxy = context.handler->GetOrCreateProxy(id, std::move(factory));
    }
    return received;
}

void ReportFailedDecode(const ReferenceKind& kind) {
    ReportFatal(__FILE__, __LINE__, kind.decodeFunction, std::string("Failed to decode ") + kind.wireName);
}

}  // namespace zel::iface::aai::detail
