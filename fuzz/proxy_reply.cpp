// Fuzz target: one reply to a call made through the proxy of one interface.
//
//   byte 0    bits 0-4: the interface (modulo their number); bit 7: the proxy's side is the server
//   byte 1    the method (modulo the interface's number of methods)
//   the rest  the reply the peer sends back
//
// The method is called with the sample arguments over a handler that answers every Send with the
// reply (the proxy's release request too), so a hostile or broken peer's reply is decoded as the
// method's result: a value, a string, or a reference that becomes a proxy or finds a stub. The
// runtime's errors and fatal reports are expected outcomes; crashes, leaks and sanitizer reports
// are findings.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_handler.h"
#include "fuzz_setup.h"
#include "fuzz_tables.h"
#include "trace/trace.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    aai_fuzz::Setup* const setup = &aai_fuzz::Setup::Get();
    if (size < 2) return 0;
    const aai_fuzz::InterfaceEntry& entry = aai_fuzz::kInterfaces[(data[0] & 0x1F) % aai_fuzz::kInterfaceCount];
    const aai_fuzz::MethodCall& method = entry.methods[data[1] % entry.methodCount];
    auto handler = std::make_shared<aai_fuzz::FuzzHandler>((data[0] & 0x80) != 0);
    handler->reply.assign(data + 2, data + size);
    {
        std::shared_ptr<void> proxy = entry.makeProxy(1, handler, setup->brokers);
        try {
            method.call(proxy);
        } catch (const zel::proglibs::ipc2::IpcError&) {
        } catch (const trace::FatalError&) {
        }
    }
    handler->Close();
    setup->capture.Clear();
    return 0;
}
