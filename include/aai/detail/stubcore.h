// What every generated stub is made of. A generated Receive is a switch over the method id whose
// cases each call one helper here: Dispatch for a method, AnswerRelease for the release id,
// AnswerConnect for the root's connect request, Unsupported for anything else.
#pragma once

#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "aai/detail/codec.h"
#include "aai/detail/referencecodec.h"
#include "aai/detail/site.h"
#include "aai/detail/traits.h"
#include "aai/detail/wire.h"
#include "ipc2/connectionhandler.h"
#include "ipc2/objects.h"

namespace zel::iface::aai::detail {

// The parts of a stub that do not depend on its interface, compiled once.
//   AnswerRelease: lowers the stub's count on its own connection by the count in the request and
//     answers with an empty reply (the handler decides when the stub goes).
//   LowerCount: a count below zero is reported, and kept and returned as it is.
//   Unsupported: an id that names no method of the interface is reported; the reply is null.
Stream AnswerRelease(Stream& request, const Handler& handler, const Handler& own,
                     std::shared_ptr<proglibs::ipc2::IStub> self, const char* wireName);
int LowerCount(int& count, int by, const Site& site);
Stream Unsupported(const Site& site);

// The base of the generated XStub: the runtime's stub first, then the self reference that a
// release request hands to the handler.
template <class Derived, class IX>
class StubBase : public proglibs::ipc2::IStub, public std::enable_shared_from_this<Derived> {
public:
    StubBase(void* object, int objectId, Handler handler, Brokers brokers, std::shared_ptr<IX> implementation)
        : object_(object),
          objectId_(objectId),
          implementation_(std::move(implementation)),
          handler_(std::move(handler)),
          brokers_(std::move(brokers)) {}

    int GetId() override { return objectId_; }
    void* GetObject() override { return object_; }
    // The handler raises and lowers the count under its own lock. The peer's release counts can
    // take it anywhere in the int range, so it stops at the top rather than overflow.
    void IncreaseReferenceCount() override {
        if (count_ < std::numeric_limits<int>::max()) ++count_;
    }

    std::shared_ptr<IX> GetImplementation() const { return implementation_; }

protected:
    int Lower(int by, const Site& site) { return LowerCount(count_, by, site); }

    Stream AnswerRelease(Stream& request, const Handler& handler) {
        return detail::AnswerRelease(request, handler, handler_, this->shared_from_this(), Traits<IX>::kWireName);
    }

    // Decodes the arguments in wire order, gives the request back before the implementation runs
    // (so a nested call does not keep it), calls the implementation, and answers with exactly the
    // result's bytes, or an empty reply for a void method.
    template <class R, class... A>
    Stream Dispatch(Stream& request, const Handler& handler, R (IX::*method)(A...)) {
        [[maybe_unused]] const Context context{handler, brokers_};
        // Braced initialisation evaluates the decoders left to right.
        std::tuple<std::decay_t<A>...> arguments{Codec<std::decay_t<A>>::decode(request, context)...};
        handler->Free(std::move(request));
        IX& implementation = *implementation_;
        auto call = [&](auto&... a) -> R { return (implementation.*method)(std::move(a)...); };
        if constexpr (std::is_void_v<R>) {
            std::apply(call, arguments);
            return handler->Allocate(0);
        } else {
            const R result = std::apply(call, arguments);
            Stream reply = handler->Allocate(Codec<R>::size(result));
            Codec<R>::encode(reply, result, context);
            return reply;
        }
    }

    // The connect request (object 0, method 0): a reference to the root implementation itself,
    // then the server's version.
    Stream AnswerConnect(Stream& request, const Handler& handler, const std::string& version) {
        const Context context{handler, brokers_};
        Stream reply = handler->Allocate(Codec<std::shared_ptr<IX>>::size(implementation_) +
                                         proglibs::ipc2::wire::SizeOfString(version));
        handler->Free(std::move(request));
        Codec<std::shared_ptr<IX>>::encode(reply, implementation_, context);
        proglibs::ipc2::wire::PutString(*reply, version);
        return reply;
    }

private:
    void* object_;
    int objectId_;
    std::shared_ptr<IX> implementation_;
    Handler handler_;
    Brokers brokers_;
    int count_ = 1;
};

// The implementation behind a stub, or empty when the stub is missing or of another interface.
template <class XStub>
auto InstanceOf(const std::shared_ptr<proglibs::ipc2::IStub>& stub) -> decltype(std::declval<XStub&>().GetImplementation()) {
    auto* typed = dynamic_cast<XStub*>(stub.get());
    if (!typed) return nullptr;
    return typed->GetImplementation();
}

}  // namespace zel::iface::aai::detail
