// What every generated proxy is made of. A generated proxy method is one call of Call or
// CallVoid with its site, method id, Send flag and arguments; everything a call does is here, once.
//
// A call: allocate exactly 9 bytes plus the arguments' sizes, write the header and the arguments
// in declaration order, Send with the method's flag, then, for a method with a result, decode the
// result from the reply. The reply is given back to the handler on every way out, also when it is
// null and also when decoding throws. A null reply to a method with a result is the lost
// connection: reported, and the result is a default value, never decoded from nothing.
//
// The call path takes no lock and touches no reference count of its own: streams are moved into
// and out of the handler, and the codecs see the handler and brokers by reference.
#pragma once

#include <memory>
#include <mutex>
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

// The state of one proxy and the calls made through it; shared by all interfaces, so that each
// signature's call is compiled once however many interfaces use it.
class ProxyCore {
public:
    ProxyCore(int objectId, Handler handler, Brokers brokers);
    ProxyCore(const ProxyCore&) = delete;
    ProxyCore& operator=(const ProxyCore&) = delete;

    int Id() const noexcept { return objectId_; }
    const Handler& GetHandler() const noexcept { return handler_; }

    // The runtime's count of references handed out for this proxy; raised from its own threads.
    void AddReference();
    // The release request: the header with the release id and the whole count, Send flag true,
    // posted (its reply carries nothing, so no transport need wait for it); then the handler
    // forgets the proxy.
    void Release(int releaseId);

    template <class R, class... A>
    R Call(const Site& site, int methodId, bool sendFlag, const char* lostText, const A&... args) const {
        const Context context{handler_, brokers_};
        Stream reply = Exchange(methodId, sendFlag, context, args...);
        FreeOnExit guard{*handler_, reply};
        if (!reply) {
            Report(site, lostText);
            return R();
        }
        return Codec<R>::decode(reply, context);
    }

    template <class... A>
    void CallVoid(int methodId, bool sendFlag, const A&... args) const {
        const Context context{handler_, brokers_};
        handler_->Free(Exchange(methodId, sendFlag, context, args...));
    }

private:
    struct FreeOnExit {
        proglibs::ipc2::ConnectionHandler& handler;
        Stream& stream;
        ~FreeOnExit() { handler.Free(std::move(stream)); }
    };

    template <class... A>
    Stream Exchange(int methodId, bool sendFlag, [[maybe_unused]] const Context& context, const A&... args) const {
        Stream request = Begin(methodId, (0 + ... + Codec<A>::size(args)));
        (Codec<A>::encode(request, args, context), ...);
        return handler_->Send(std::move(request), sendFlag);
    }

    // A request stream of exactly the header and the arguments, the header written.
    Stream Begin(int methodId, int argumentsSize) const;

    int objectId_;
    Handler handler_;
    Brokers brokers_;
    unsigned char module_;
    int count_ = 1;
    std::mutex mutex_;
};

// The base of the generated XProxy: the interface first, the runtime's proxy second.
template <class IX>
class ProxyBase : public IX, public proglibs::ipc2::IProxy {
public:
    ProxyBase(int objectId, Handler handler, Brokers brokers)
        : core_(objectId, std::move(handler), std::move(brokers)) {}

    // The other side learns that this side holds no more references; a failure to tell it must
    // not escape a destructor.
    ~ProxyBase() override {
        try {
            ProxyBase::Release();
        } catch (...) {
        }
    }

    virtual Handler GetConnectionHandler() { return core_.GetHandler(); }
    virtual void Release() { core_.Release(Traits<IX>::kReleaseId); }

    int GetId() override { return core_.Id(); }
    void IncreaseReferenceCount() override { core_.AddReference(); }
    Handler GetConnection() override { return core_.GetHandler(); }

protected:
    ProxyCore core_;
};

}  // namespace zel::iface::aai::detail
