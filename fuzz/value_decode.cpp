// Fuzz target: one value of one type of the interface.
//
//   byte 0    the type: records, then lists, then enumerations, in the description's order
//             (modulo their number)
//   the rest  its encoding
//
// Whatever decodes must encode to exactly SizeOf bytes and decode back to an equal value (the
// target aborts otherwise). StreamError for bytes that do not decode is the expected failure.
#include <cstddef>
#include <cstdint>

#include "fuzz_setup.h"
#include "fuzz_tables.h"
#include "ipc2/errors.h"
#include "trace/trace.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    aai_fuzz::Setup* const setup = &aai_fuzz::Setup::Get();
    if (size < 1) return 0;
    const aai_fuzz::ValueEntry& entry = aai_fuzz::kValueTypes[data[0] % aai_fuzz::kValueTypeCount];
    try {
        entry.roundTrip(data + 1, size - 1, setup->brokers);
    } catch (const zel::proglibs::ipc2::IpcError&) {
    } catch (const trace::FatalError&) {
    }
    setup->capture.Clear();
    return 0;
}
