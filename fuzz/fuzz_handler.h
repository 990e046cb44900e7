// A connection handler with the runtime's object registry and no peer: every Send is answered with
// a copy of `reply` (empty unless set: what a void method gives), and the last request sent is
// kept. Used by the fuzz targets, the seed writer and the robustness tests to drive stubs and
// proxies directly.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ipc2/ipc2.h"
#include "trace/trace.h"
#include "table_types.h"

namespace aai_fuzz {

class FuzzHandler final : public ipc2::RegistryConnectionHandler {
public:
    explicit FuzzHandler(bool isServer, const ipc2::Limits& limits = ipc2::Limits{})
        : RegistryConnectionHandler({"aai", "userlogin", "datetime"}, isServer, limits) {}

    std::shared_ptr<ipc2::ByteStream> Send(std::shared_ptr<ipc2::ByteStream> request, bool) override {
        if (!request) throw ipc2::StreamError("no request to send");
        lastSent.assign(request->Data(), request->Data() + request->Size());
        ++sends;
        return std::make_shared<ipc2::ByteStream>(reply.data(), reply.size());
    }
    // The stubs hold their handler: dropping them breaks that cycle.
    void Close() override { Registry().Clear(); }
    bool IsConnected() const override { return true; }
    ipc2::PeerCredentials GetPeerCredentials() const override { return {}; }

    Bytes reply;
    Bytes lastSent;
    int sends = 0;
};

// A do-nothing object of the interface, served by a stub registered on the handler (so that a
// release request finds it), as a service or client would have it after handing the object out.
inline std::shared_ptr<ipc2::IStub> ServeNullObject(const InterfaceEntry& entry, const Handler& handler,
                                                    const Brokers& brokers) {
    std::shared_ptr<void> implementation = entry.makeImplementation();
    void* const object = implementation.get();
    return handler->GetOrCreateStub(object, entry.wireName,
                                    [&entry, implementation, brokers](void* raw, int id, Handler own) {
                                        return entry.makeStub(raw, implementation, id, std::move(own), brokers);
                                    });
}

// Hands `request` (module byte, method id, arguments: what follows the object id) to the stub and
// gives its reply back to the handler; true when there was one (its bytes go to `replyBytes` when
// given). What the runtime turns into a failed call (its own errors) is caught; any other
// exception escapes.
inline bool ReceiveRequest(ipc2::IStub& stub, const Handler& handler, const unsigned char* data, std::size_t size,
                           Bytes* replyBytes = nullptr) {
    auto request = std::make_shared<ipc2::ByteStream>(data, size);
    try {
        std::shared_ptr<ipc2::ByteStream> reply = stub.Receive(std::move(request), handler);
        const bool replied = reply != nullptr;
        if (replied && replyBytes) replyBytes->assign(reply->Data(), reply->Data() + reply->Size());
        handler->Free(std::move(reply));
        return replied;
    } catch (const ipc2::IpcError&) {
        return false;
    } catch (const trace::FatalError&) {
        return false;
    }
}

// The request that a proxy on the calling side (the other side from the object's home) writes for
// `method` with the sample arguments, less the object id: what the stub of the object receives.
// References among the arguments are the ids of the stubs the proxy's handler made for them.
inline Bytes WriteRequest(const InterfaceEntry& entry, const MethodCall& method, const Brokers& brokers) {
    auto handler = std::make_shared<FuzzHandler>(!entry.homeIsService);
    Bytes request;
    {
        std::shared_ptr<void> proxy = entry.makeProxy(1, handler, brokers);
        try {
            method.call(proxy);
        } catch (const ipc2::IpcError&) {
        } catch (const trace::FatalError&) {
            // The empty reply does not hold a result; the request was written all the same.
        }
        request = handler->lastSent;
    }
    handler->Close();
    if (request.size() < 4) return {};
    return Bytes(request.begin() + 4, request.end());
}

// The entries by name (null when there is none).
inline const InterfaceEntry* FindInterface(const InterfaceEntry* table, int count, const std::string& wireName) {
    for (int i = 0; i < count; ++i)
        if (wireName == table[i].wireName) return &table[i];
    return nullptr;
}

inline const MethodCall* FindMethod(const InterfaceEntry& entry, const std::string& name) {
    for (int i = 0; i < entry.methodCount; ++i)
        if (name == entry.methods[i].name) return &entry.methods[i];
    return nullptr;
}

}  // namespace aai_fuzz
