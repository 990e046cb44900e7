// Writes the seed corpora of the fuzz targets from valid messages:
//
//   <root>/stub_receive/<Interface>.<method>   every method's request, arguments from the samples
//   <root>/stub_receive/<Interface>.release    the release request, and for the root the connect
//   <root>/stub_receive/AAService.connect      request
//   <root>/value_decode/<Type>.sample          every value type with every optional set
//   <root>/value_decode/<Type>.default         and as default-constructed
//   <root>/proxy_reply/<Interface>.<method>    every method's reply, as the stub of a do-nothing
//                                              implementation answers the request above
//
// Each request is what a proxy on the calling side writes (so references in it are the ids of
// stubs it made), less the object id, behind the selector byte of the stub that receives it.
//
//   aai_fuzz_seeds <root>      (the committed corpora: fuzz/corpus)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "fuzz_handler.h"
#include "fuzz_tables.h"
#include "trace/trace.h"

namespace {

namespace fs = std::filesystem;
using aai_fuzz::Bytes;

int written = 0;

void Write(const fs::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", file.c_str());
        std::exit(1);
    }
    ++written;
}

// The selector byte, then the request as the stub sees it.
Bytes Seed(int interfaceIndex, bool stubIsServer, const Bytes& request) {
    Bytes seed{static_cast<unsigned char>(interfaceIndex | (stubIsServer ? 0x80 : 0))};
    seed.insert(seed.end(), request.begin(), request.end());
    return seed;
}

void WriteRequests(const fs::path& dir, const aai_fuzz::Brokers& brokers) {
    for (int i = 0; i < aai_fuzz::kInterfaceCount; ++i) {
        const aai_fuzz::InterfaceEntry& entry = aai_fuzz::kInterfaces[i];
        // The stub is on the object's home side.
        const bool stubIsServer = entry.homeIsService;
        for (int k = 0; k < entry.methodCount; ++k) {
            const aai_fuzz::MethodCall& method = entry.methods[k];
            Write(dir / (std::string(entry.wireName) + "." + method.name),
                  Seed(i, stubIsServer, aai_fuzz::WriteRequest(entry, method, brokers)));
        }
        // The release request a proxy sends when it goes.
        auto handler = std::make_shared<aai_fuzz::FuzzHandler>(!stubIsServer);
        entry.makeProxy(1, handler, brokers).reset();
        const aai_fuzz::Bytes release(handler->lastSent.begin() + 4, handler->lastSent.end());
        Write(dir / (std::string(entry.wireName) + ".release"), Seed(i, stubIsServer, release));
        handler->Close();
        // The root's connect request: module 0, method 0.
        if (i == 0) Write(dir / (std::string(entry.wireName) + ".connect"), Seed(i, stubIsServer, aai_fuzz::Bytes(5, 0)));
    }
}

void WriteReplies(const fs::path& dir, const aai_fuzz::Brokers& brokers) {
    for (int i = 0; i < aai_fuzz::kInterfaceCount; ++i) {
        const aai_fuzz::InterfaceEntry& entry = aai_fuzz::kInterfaces[i];
        for (int k = 0; k < entry.methodCount; ++k) {
            const aai_fuzz::MethodCall& method = entry.methods[k];
            const Bytes request = aai_fuzz::WriteRequest(entry, method, brokers);
            auto home = std::make_shared<aai_fuzz::FuzzHandler>(entry.homeIsService);
            Bytes reply;
            {
                auto stub = aai_fuzz::ServeNullObject(entry, home, brokers);
                aai_fuzz::ReceiveRequest(*stub, home, request.data(), request.size(), &reply);
            }
            home->Close();
            // The proxy is on the other side from the object's home.
            Bytes seed{static_cast<unsigned char>(i | (entry.homeIsService ? 0 : 0x80)), static_cast<unsigned char>(k)};
            seed.insert(seed.end(), reply.begin(), reply.end());
            Write(dir / (std::string(entry.wireName) + "." + method.name), seed);
        }
    }
}

void WriteValues(const fs::path& dir, const aai_fuzz::Brokers& brokers) {
    for (int i = 0; i < aai_fuzz::kValueTypeCount; ++i) {
        const aai_fuzz::ValueEntry& entry = aai_fuzz::kValueTypes[i];
        for (bool sample : {true, false}) {
            Bytes seed{static_cast<unsigned char>(i)};
            const Bytes value = sample ? entry.encodeSample(brokers) : entry.encodeDefault(brokers);
            seed.insert(seed.end(), value.begin(), value.end());
            Write(dir / (std::string(entry.name) + (sample ? ".sample" : ".default")), seed);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus root>\n", argv[0]);
        return 2;
    }
    trace::Capture quiet;
    const fs::path root(argv[1]);
    const aai_fuzz::Brokers brokers = zel::iface::aai::MakeInterfaceBrokers();
    for (const char* target : {"stub_receive", "value_decode", "proxy_reply"}) {
        fs::remove_all(root / target);
        fs::create_directories(root / target);
    }
    WriteRequests(root / "stub_receive", brokers);
    WriteValues(root / "value_decode", brokers);
    WriteReplies(root / "proxy_reply", brokers);
    std::printf("wrote %d seeds under %s\n", written, root.c_str());
    return 0;
}
