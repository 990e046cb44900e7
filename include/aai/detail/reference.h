// How an interface reference crosses a connection. Included only by the generated reference
// source, which instantiates these templates once for each interface.
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
#include <string>
#include <utility>

#include "aai/detail/referencecodec.h"
#include "aai/detail/site.h"
#include "aai/detail/traits.h"
#include "ipc2/connectionhandler.h"

namespace zel::iface::aai::detail {

// The bundle's broker, looked up at each use so that a broker replaced in the bundle takes effect
// for every proxy and stub made afterwards.
inline InterfaceBroker& Broker(const Brokers& brokers) { return *brokers->aaiBroker; }

template <class IX>
bool OnHomeSide(const Context& context) {
    return context.handler->IsServer() == Traits<IX>::kHomeIsService;
}

template <class IX>
void EncodeReference(const Stream& stream, const std::shared_ptr<IX>& object, const Context& context) {
    using T = Traits<IX>;
    std::int32_t id = kNoObject;
    if (!object) {
        Report(Site{__FILE__, __LINE__, T::kEncodeFunction},
               std::string("Cannot encode an empty ") + T::kWireName + " reference");
    } else if (OnHomeSide<IX>(context)) {
        // The factory runs only when the connection has no stub for the object yet; it keeps the
        // object and the bundle so that it does not depend on this call's frame.
        proglibs::ipc2::StubFactory factory = [object, brokers = context.brokers](
                                                  void* raw, int newId,
                                                  std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler) {
            return (Broker(brokers).*T::kMakeStub)(raw, newId, std::move(handler), brokers, object);
        };
        id = context.handler->GetOrCreateStub(object.get(), T::kWireName, std::move(factory))->GetId();
    } else if (auto* proxy = dynamic_cast<proglibs::ipc2::IProxy*>(object.get())) {
        id = proxy->GetId();
    } else {
        Report(Site{__FILE__, __LINE__, T::kEncodeFunction},
               std::string("Cannot encode a ") + T::kWireName + " reference: the object is not a proxy");
    }
    WriteObjectId(*stream, id);
}

template <class IX>
std::shared_ptr<IX> DecodeReference(const Stream& stream, const Context& context) {
    using T = Traits<IX>;
    const std::int32_t id = ReadObjectId(*stream);
    std::shared_ptr<IX> result;
    if (OnHomeSide<IX>(context)) {
        // An unknown id gives no stub; the broker's answer for a stub of another interface is
        // empty. Both end as a failed decode below.
        if (auto stub = context.handler->GetStub(id)) result = (Broker(context.brokers).*T::kGetInstance)(std::move(stub));
    } else if (id >= 0) {
        proglibs::ipc2::ProxyFactory factory = [brokers = context.brokers](
                                                   int proxyId, std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler) {
            return (Broker(brokers).*T::kMakeProxy)(proxyId, std::move(handler), brokers);
        };
        result = std::dynamic_pointer_cast<IX>(context.handler->GetOrCreateProxy(id, std::move(factory)));
    }
    if (!result) Report(Site{__FILE__, __LINE__, T::kDecodeFunction}, std::string("Failed to decode ") + T::kWireName);
    return result;
}

}  // namespace zel::iface::aai::detail
