// Writes the seed corpora of the fuzz targets from valid messages:
//
//   <root>/stub_receive/<Interface>.<method>   every method's request, arguments from the samples
//   <root>/stub_receive/<Interface>.release    the release request, and for the root the connect
//   <root>/stub_receive/AAService.connect      request
//   <root>/value_decode/<Type>.sample          every value type with every optional set
//   <root>/value_decode/<Type>.default         and as default-constructed
//   <root>/proxy_reply/<Interface>.<method>    every method's reply, as the stub of a do-nothing
//                                              implementation answers the request above
//   <root>/socket_peer/<Interface>.calls       a client's session on the socket: hello, connect,
//                                              the way to the object, each of its methods (with
//                                              the answers to the server's nested releases), its
//                                              release; and a few other sessions (see
//                                              WriteSessions)
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
#include "socket_peer.h"
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

// ---- socket_peer: sessions on a raw connection to the served root

using aai_fuzz::peer::Script;

const aai_fuzz::InterfaceEntry& Interface(const char* wireName) {
    const aai_fuzz::InterfaceEntry* entry =
        aai_fuzz::FindInterface(aai_fuzz::kInterfaces, aai_fuzz::kInterfaceCount, wireName);
    if (!entry) {
        std::fprintf(stderr, "no interface %s in the tables\n", wireName);
        std::exit(1);
    }
    return *entry;
}

const aai_fuzz::MethodCall& Method(const aai_fuzz::InterfaceEntry& entry, const char* name) {
    const aai_fuzz::MethodCall* method = aai_fuzz::FindMethod(entry, name);
    if (!method) {
        std::fprintf(stderr, "no method %s.%s in the tables\n", entry.wireName, name);
        std::exit(1);
    }
    return *method;
}

// Asks for `method` of the object `objectId` with the sample arguments (in the chain given by
// `chain`, see socket_peer.h); returns how many objects of ours are among them (the server posts a
// release for each with its answer, which needs no answer of ours).
std::size_t Request(Script& script, int objectId, const aai_fuzz::InterfaceEntry& entry,
                    const aai_fuzz::MethodCall& method, const aai_fuzz::Brokers& brokers, unsigned char chain = 0) {
    auto handler = std::make_shared<aai_fuzz::FuzzHandler>(!entry.homeIsService);
    Bytes request;
    std::size_t ours = 0;
    {
        std::shared_ptr<void> proxy = entry.makeProxy(1, handler, brokers);
        try {
            method.call(proxy);
        } catch (const zel::proglibs::ipc2::IpcError&) {
            // The empty reply does not hold a result; the request was written all the same.
        } catch (const trace::FatalError&) {
            // Likewise, where the result is decoded by the binding.
        }
        request = handler->lastSent;
        ours = handler->Registry().StubCount();
    }
    handler->Close();
    if (request.size() < 9) {
        std::fprintf(stderr, "%s.%s wrote no request\n", entry.wireName, method.name);
        std::exit(1);
    }
    const unsigned char module = request[4];
    const int methodId = static_cast<int>(request[5] | request[6] << 8 | request[7] << 16 | request[8] << 24);
    script.Request(objectId, module, methodId, std::string(request.begin() + 9, request.end()), chain);
    return ours;
}

void Call(Script& script, int objectId, const aai_fuzz::InterfaceEntry& entry, const aai_fuzz::MethodCall& method,
          const aai_fuzz::Brokers& brokers) {
    Request(script, objectId, entry, method, brokers);
}

void Connect(Script& script) {
    script.Hello();
    script.Request(0, 0, 0, "");  // object 0, module 0, method 0: the connect request
}

// The service's objects and how a client reaches them: the root's method that gives it, or the
// session's. A connection's stubs are numbered from 1 in the order they are made, the root being 0.
struct Route {
    const char* wireName;
    const char* rootMethod;     // null: the root itself
    const char* sessionMethod;  // null: what rootMethod gives
};
const Route kRoutes[] = {
    {"AAService", nullptr, nullptr},
    {"ServerSession", "registerClient", nullptr},
    {"Settings", "getSettingsServer", nullptr},
    {"PasswordHandler", "registerClient", "getPasswordHandler"},
    {"UsersAndGroupsServer", "registerClient", "getUsersAndGroupsServer"},
    {"ClusterSecurityServer", "registerClient", "getClusterSecurityServer"},
    {"EmailAddressServer", "registerClient", "getEmailAddressServer"},
    {"DomainConfigurator", "registerClient", "getDomainConfigurator"},
    {"HotfolderServer", "registerClient", "getHotfolderServer"},
};

// Reaches the object of the route on a fresh connection; returns its id.
int Reach(Script& script, const Route& route, const aai_fuzz::Brokers& brokers) {
    const aai_fuzz::InterfaceEntry& root = Interface("AAService");
    if (!route.rootMethod) return 0;
    Call(script, 0, root, Method(root, route.rootMethod), brokers);
    if (!route.sessionMethod) return 1;
    const aai_fuzz::InterfaceEntry& session = Interface("ServerSession");
    Call(script, 1, session, Method(session, route.sessionMethod), brokers);
    return 2;
}

void WriteSessions(const fs::path& dir, const aai_fuzz::Brokers& brokers) {
    auto write = [&](const std::string& name, const Script& script) {
        const std::string& b = script.Bytes();
        Write(dir / name, Bytes(b.begin(), b.end()));
    };
    int served = 0;
    for (const Route& route : kRoutes) {
        const aai_fuzz::InterfaceEntry& entry = Interface(route.wireName);
        Script script;
        Connect(script);
        const int id = Reach(script, route, brokers);
        for (int k = 0; k < entry.methodCount; ++k) Call(script, id, entry, entry.methods[k], brokers);
        if (id != 0) script.Release(id, static_cast<unsigned char>(&entry - aai_fuzz::kInterfaces), 1);
        write(std::string(route.wireName) + ".calls", script);
        ++served;
    }
    for (int i = 0; i < aai_fuzz::kInterfaceCount; ++i) {
        if (aai_fuzz::kInterfaces[i].homeIsService) --served;
    }
    if (served != 0) {
        std::fprintf(stderr, "the routes to the service's objects do not cover its interfaces\n");
        std::exit(1);
    }

    write("connect", Script().Hello().Request(0, 0, 0, ""));
    write("hello.unknown_module", Script().Hello(aai_fuzz::peer::kHelloAllModules | aai_fuzz::peer::kHelloUnknownModule));
    const aai_fuzz::InterfaceEntry& root = Interface("AAService");
    {
        // The served users object calls back the sink it is given: while the server waits for our
        // answer, a request of ours in that chain runs on the server's waiting thread; then the
        // callback is answered and the call completes.
        const aai_fuzz::InterfaceEntry& users = Interface("UsersAndGroupsServer");
        Script script;
        Connect(script);
        const int id = Reach(script, kRoutes[4], brokers);
        Request(script, id, users, Method(users, "registerNotifications"), brokers);
        Call(script, 0, root, Method(root, "getSettingsServer"), brokers);
        Request(script, 0, root, Method(root, "getSettingsServer"), brokers, aai_fuzz::peer::kChainOfServerCall);
        script.Answer(0, false, "");
        write("nested.callback", script);
    }
    {
        // The server's callback answered with an error, then the connection half-closed with a call
        // on its way.
        const aai_fuzz::InterfaceEntry& users = Interface("UsersAndGroupsServer");
        Script script;
        Connect(script);
        const int id = Reach(script, kRoutes[4], brokers);
        Request(script, id, users, Method(users, "registerNotifications"), brokers);
        script.Answer(0, true, "refused");
        Request(script, 0, root, Method(root, "registerClient"), brokers);
        script.HalfClose();
        write("nested.error_half_close", script);
    }
    {
        Script script;
        Connect(script);
        script.Reconnect();
        Connect(script);
        script.Release(0, 0, 1);
        script.Reconnect();
        Connect(script);
        write("reconnect", script);
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
    for (const char* target : {"stub_receive", "value_decode", "proxy_reply", "socket_peer"}) {
        fs::remove_all(root / target);
        fs::create_directories(root / target);
    }
    WriteRequests(root / "stub_receive", brokers);
    WriteValues(root / "value_decode", brokers);
    WriteReplies(root / "proxy_reply", brokers);
    WriteSessions(root / "socket_peer", brokers);
    std::printf("wrote %d seeds under %s\n", written, root.c_str());
    return 0;
}
