// Every method of the service's 29 interfaces with its id, Send flag and whether it returns a
// value, as the interface's documentation tables give them; and every interface with its wire
// name, release id, last id and home side. Each method row also carries a way to call the method
// generically, bound to the real member function, so that a row that names a method the
// interface does not have fails to compile.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "aai/aai.h"
#include "aai/detail/traits.h"
#include "recording_handler.h"

namespace aai_test {

namespace aai = zel::iface::aai;
using Brokers = std::shared_ptr<aai::InterfaceBrokers>;
using HandlerPtr = std::shared_ptr<ipc2::ConnectionHandler>;

// Distinct values for the arguments of a call, so that two arguments of the same type that swap
// places change the bytes on the wire.
struct SampleSource {
    int next = 1;
    Brokers brokers;
};

template <class T, class = void>
struct Sample {
    static T Make(SampleSource&) { return T{}; }
};
template <>
struct Sample<int> {
    static int Make(SampleSource& s) { return 1000 + s.next++; }
};
template <>
struct Sample<bool> {
    static bool Make(SampleSource& s) { return s.next++ % 2 == 1; }
};
template <>
struct Sample<std::string> {
    static std::string Make(SampleSource& s) { return "arg" + std::to_string(s.next++); }
};
template <class E>
struct Sample<E, std::enable_if_t<std::is_enum_v<E>>> {
    static E Make(SampleSource& s) { return static_cast<E>(s.next++); }
};
template <class IX>
struct Sample<std::shared_ptr<IX>> {
    // Any object of the interface will do: a proxy on a connection of its own is one.
    static std::shared_ptr<IX> Make(SampleSource& s) {
        auto elsewhere = RecordingHandler::Make(!aai::detail::Traits<IX>::kHomeIsService);
        auto made = ((*s.brokers->aaiBroker).*aai::detail::Traits<IX>::kMakeProxy)(900 + s.next++, elsewhere, s.brokers);
        return std::dynamic_pointer_cast<IX>(made);
    }
};

template <class IX>
std::shared_ptr<IX> MakeProxy(int objectId, const HandlerPtr& handler, const Brokers& brokers) {
    return std::dynamic_pointer_cast<IX>(
        ((*brokers->aaiBroker).*aai::detail::Traits<IX>::kMakeProxy)(objectId, handler, brokers));
}

template <class IX>
std::shared_ptr<ipc2::IStub> MakeStub(void* object, int objectId, const HandlerPtr& handler, const Brokers& brokers,
                                      std::shared_ptr<IX> implementation) {
    return ((*brokers->aaiBroker).*aai::detail::Traits<IX>::kMakeStub)(object, objectId, handler, brokers,
                                                                        std::move(implementation));
}

struct Invoker {
    bool returnsValue = false;
    // Makes a proxy of the method's interface for `objectId` on `handler`, calls the method with
    // sample arguments, and lets the proxy go.
    std::function<void(const HandlerPtr& handler, const Brokers& brokers, int objectId)> call;
    // A stub of the method's interface on `stubSide` whose implementation is a proxy on
    // `implementationSide`: what reaches the stub is sent on as the implementation's call.
    std::function<std::shared_ptr<ipc2::IStub>(const HandlerPtr& stubSide, const HandlerPtr& implementationSide,
                                               const Brokers& brokers)>
        relay;
};

template <class IX, class R, class... A>
Invoker Bind(R (IX::*method)(A...)) {
    Invoker invoker;
    invoker.returnsValue = !std::is_void_v<R>;
    invoker.call = [method](const HandlerPtr& handler, const Brokers& brokers, int objectId) {
        SampleSource samples{1, brokers};
        std::tuple<std::decay_t<A>...> arguments{Sample<std::decay_t<A>>::Make(samples)...};
        auto proxy = MakeProxy<IX>(objectId, handler, brokers);
        std::apply([&](auto&... a) { ((*proxy).*method)(a...); }, arguments);
    };
    invoker.relay = [](const HandlerPtr& stubSide, const HandlerPtr& implementationSide, const Brokers& brokers) {
        auto implementation = MakeProxy<IX>(77, implementationSide, brokers);
        return MakeStub<IX>(implementation.get(), 55, stubSide, brokers, implementation);
    };
    return invoker;
}

struct MethodRow {
    std::string interface;
    std::string method;
    int id;
    bool sendFlag;
    bool hasResult;
    Invoker invoker;
};

struct InterfaceRow {
    std::string interface;
    std::string wireName;
    int releaseId;
    int lastId;
    bool homeIsService;
    // A stub of the interface without an implementation, for what a stub answers by itself.
    std::function<std::shared_ptr<ipc2::IStub>(const HandlerPtr& handler, const Brokers& brokers)> makeStub;
};

const std::vector<MethodRow>& Methods();
const std::vector<InterfaceRow>& Interfaces();
const InterfaceRow& InterfaceNamed(const std::string& name);

}  // namespace aai_test
