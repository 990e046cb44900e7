// How an interface reference crosses a connection. Included only by the generated reference
// source, which instantiates these templates once for each interface; the work itself is done
// once for all interfaces (src/detail/reference.cpp), and each interface contributes only the
// typed steps: its broker's factories and the casts to and from its pointer type.
//
// A reference always names an object on its interface's home side (the service for the server
// objects, the client for reply handlers and notification sinks):
//   - sent from the home side, the object gets (or already has) a stub, and its id is sent;
//   - sent from the other side, the object must be a proxy of the home side's object, and the
//     proxy's remote id is sent;
//   - received on the home side, the id names one of this side's stubs, and the implementation
//     it holds is the result, so an object handed back arrives as itself;
//   - received on the other side, the id becomes a proxy (the connection's existing one, its
//     count raised, or a new one).
// Anything that cannot be sent (an empty pointer, a local object on the wrong side) is reported
// and sent as an id that names no object; whatever cannot be resolved on receipt is reported and
// gives an empty pointer. Neither ever dereferences what it could not find.
#pragma once

#include <memory>
#include <utility>

#include "aai/detail/referencecodec.h"
#include "aai/detail/traits.h"
#include "ipc2/connectionhandler.h"

namespace zel::iface::aai::detail {

// What the shared steps need to know of an interface.
struct ReferenceKind {
    const char* wireName;
    bool homeIsService;
    const char* encodeFunction;
    const char* decodeFunction;
    // The bundle's broker's makeXStub for the object (held as the interface's pointer, type-erased).
    std::shared_ptr<proglibs::ipc2::IStub> (*makeStub)(const Brokers& brokers, void* raw, int id, Handler handler,
                                                       const std::shared_ptr<void>& object);
    // The bundle's broker's makeXProxy.
    std::shared_ptr<proglibs::ipc2::IProxy> (*makeProxy)(const Brokers& brokers, int id, Handler handler);
};

bool OnHomeSide(const ReferenceKind& kind, const Context& context);
// The id of a home-side object's stub (made through the broker when the connection has none yet).
void EncodeHomeObject(const Stream& stream, std::shared_ptr<void> object, const Context& context,
                      const ReferenceKind& kind);
// What the other side can send: the remote id of a proxy; anything else is reported.
void EncodeRemoteObject(const Stream& stream, bool empty, proglibs::ipc2::IProxy* proxy, const ReferenceKind& kind);
// The id read; on the home side its stub (null when unknown), on the other side its proxy (null
// for an id that names no object).
struct Received {
    std::shared_ptr<proglibs::ipc2::IStub> stub;
    std::shared_ptr<proglibs::ipc2::IProxy> proxy;
};
Received ReceiveObject(const Stream& stream, const Context& context, const ReferenceKind& kind);
void ReportFailedDecode(const ReferenceKind& kind);

template <class IX>
const ReferenceKind& KindOf() {
    using T = Traits<IX>;
    static constexpr ReferenceKind kind = {
        T::kWireName,
        T::kHomeIsService,
        T::kEncodeFunction,
        T::kDecodeFunction,
        [](const Brokers& brokers, void* raw, int id, Handler handler, const std::shared_ptr<void>& object) {
            // The object was made a void pointer from an IX pointer, so this gives it back exactly.
            return ((*brokers->aaiBroker).*T::kMakeStub)(raw, id, std::move(handler), brokers,
                                                        std::static_pointer_cast<IX>(object));
        },
        [](const Brokers& brokers, int id, Handler handler) {
            return ((*brokers->aaiBroker).*T::kMakeProxy)(id, std::move(handler), brokers);
        },
    };
    return kind;
}

template <class IX>
void EncodeReference(const Stream& stream, const std::shared_ptr<IX>& object, const Context& context) {
    const ReferenceKind& kind = KindOf<IX>();
    if (object && OnHomeSide(kind, context))
        EncodeHomeObject(stream, object, context, kind);
    else
        EncodeRemoteObject(stream, !object, dynamic_cast<proglibs::ipc2::IProxy*>(object.get()), kind);
}

template <class IX>
std::shared_ptr<IX> DecodeReference(const Stream& stream, const Context& context) {
    const ReferenceKind& kind = KindOf<IX>();
    Received received = ReceiveObject(stream, context, kind);
    std::shared_ptr<IX> result;
    if (received.stub)
        result = ((*context.brokers->aaiBroker).*Traits<IX>::kGetInstance)(std::move(received.stub));
    else if (received.proxy)
        result = std::dynamic_pointer_cast<IX>(std::move(received.proxy));
    if (!result) ReportFailedDecode(kind);
    return result;
}

}  // namespace zel::iface::aai::detail
