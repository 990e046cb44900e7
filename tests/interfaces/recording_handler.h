// A connection handler that keeps everything a proxy or stub does with it: the streams it
// allocates and frees, the requests it sends with their flags, the proxies it forgets and the
// stub counts it lowers. What Send answers is up to the test (no reply by default: a lost
// connection). The object registry is the runtime's own.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ipc2/bytestream.h"
#include "ipc2/registry.h"

namespace aai_test {

namespace ipc2 = zel::proglibs::ipc2;
using Bytes = std::vector<unsigned char>;

// A module byte that no real module list would give "aai", so a header that carries it was
// written with the handler's answer and not a constant.
constexpr unsigned char kModuleByte = 0x5A;

class RecordingHandler : public ipc2::RegistryConnectionHandler {
public:
    struct Sent {
        Bytes bytes;
        bool sendFlag;
    };
    struct Lowered {
        std::shared_ptr<ipc2::IStub> stub;
        int count;
        std::string typeName;
    };

    static std::shared_ptr<RecordingHandler> Make(bool isServer) {
        return std::make_shared<RecordingHandler>(isServer);
    }

    explicit RecordingHandler(bool isServer)
        : RegistryConnectionHandler({"aai", "userlogin", "datetime"}, isServer) {}

    std::shared_ptr<ipc2::ByteStream> Allocate(int size) override {
        allocated.push_back(size);
        auto stream = std::make_shared<ipc2::ByteStream>(static_cast<std::size_t>(size));
        streams.push_back(stream);
        return stream;
    }

    std::shared_ptr<ipc2::ByteStream> Send(std::shared_ptr<ipc2::ByteStream> request, bool sendFlag) override {
        sent.push_back({Bytes(request->Data(), request->Data() + request->Size()), sendFlag});
        return reply ? reply(std::move(request)) : nullptr;
    }

    void Free(std::shared_ptr<ipc2::ByteStream> stream) override {
        ++frees;
        if (!stream) ++nullFrees;
    }

    unsigned char GetModuleId(std::string module) override {
        moduleQueries.push_back(module);
        return kModuleByte;
    }

    void RemoveProxy(int id) override {
        removed.push_back(id);
        RegistryConnectionHandler::RemoveProxy(id);
    }

    void DecreaseStubReferenceCount(std::shared_ptr<ipc2::IStub> stub, int count, std::string typeName) override {
        lowered.push_back({stub, count, typeName});
        RegistryConnectionHandler::DecreaseStubReferenceCount(std::move(stub), count, std::move(typeName));
    }

    // Stubs hold their connection's handler, and the registry (and the record of lowered counts)
    // hold the stubs: a real connection drops them when it closes, a test calls Close when it is
    // done with the handler.
    void Close() override {
        Registry().Clear();
        lowered.clear();
    }
    bool IsConnected() const override { return true; }
    ipc2::PeerCredentials GetPeerCredentials() const override { return {}; }

    // The size given to Allocate for a stream, and whether exactly that much was written.
    bool WroteExactly(const ipc2::ByteStream& stream) const {
        for (std::size_t i = 0; i < streams.size(); ++i) {
            auto s = streams[i].lock();
            if (s.get() == &stream) return static_cast<std::size_t>(allocated[i]) == stream.Size();
        }
        return false;
    }

    std::function<std::shared_ptr<ipc2::ByteStream>(std::shared_ptr<ipc2::ByteStream> request)> reply;
    std::vector<int> allocated;
    std::vector<std::weak_ptr<ipc2::ByteStream>> streams;
    std::vector<Sent> sent;
    std::vector<std::string> moduleQueries;
    std::vector<int> removed;
    std::vector<Lowered> lowered;
    int frees = 0;
    int nullFrees = 0;
};

// A stream holding exactly these bytes, positioned at its start.
inline std::shared_ptr<ipc2::ByteStream> StreamOf(const Bytes& bytes) {
    return std::make_shared<ipc2::ByteStream>(bytes.data(), bytes.size());
}

inline Bytes Le32(std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    return {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8), static_cast<unsigned char>(u >> 16),
            static_cast<unsigned char>(u >> 24)};
}

inline std::int32_t ReadLe32At(const Bytes& bytes, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | bytes.at(at + static_cast<std::size_t>(i));
    return static_cast<std::int32_t>(v);
}

// Byte strings built piece by piece, for the expected side of exact-bytes checks.
class Wire {
public:
    Wire& Int(std::int32_t v) { return Append(Le32(v)); }
    Wire& Byte(unsigned char v) { return Append({v}); }
    Wire& Bool(bool v) { return Byte(v ? 1 : 0); }
    Wire& String(const std::string& s) {
        Int(static_cast<std::int32_t>(s.size()));
        return Append(Bytes(s.begin(), s.end()));
    }
    Wire& Header(std::int32_t objectId, std::int32_t methodId) { return Int(objectId).Byte(kModuleByte).Int(methodId); }
    Wire& Append(const Bytes& more) {
        bytes_.insert(bytes_.end(), more.begin(), more.end());
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }
    operator const Bytes&() const { return bytes_; }

private:
    Bytes bytes_;
};

}  // namespace aai_test
