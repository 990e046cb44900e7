// Fuzz target: one request to the stub of one interface.
//
//   byte 0    bits 0-4: the interface (modulo their number); bit 7: the stub's side is the server
//   the rest  the request as the stub sees it: module byte, method id, arguments
//
// The stub serves a do-nothing implementation over a handler whose Sends get empty replies, so
// that references in the request become stubs or proxies of that handler and die with it. The
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
    if (size < 1) return 0;
    const unsigned char selector = data[0];
    const aai_fuzz::InterfaceEntry& entry = aai_fuzz::kInterfaces[(selector & 0x1F) % aai_fuzz::kInterfaceCount];
    auto handler = std::make_shared<aai_fuzz::FuzzHandler>((selector & 0x80) != 0);
    {
        std::shared_ptr<zel::proglibs::ipc2::IStub> stub = aai_fuzz::ServeNullObject(entry, handler, setup->brokers);
        aai_fuzz::ReceiveRequest(*stub, handler, data + 1, size - 1);
    }
    handler->Close();
    setup->capture.Clear();
    return 0;
}
