// What every fuzz target keeps for the whole run: one broker bundle, and a capture that keeps the
// expected fatal reports off standard error (each target clears it after every input). Reports
// throw (the default policy), so that the inputs exercise the ways out that applications see.
#pragma once

#include "fuzz_tables.h"
#include "trace/trace.h"

namespace aai_fuzz {

struct Setup {
    Brokers brokers = zel::iface::aai::MakeInterfaceBrokers();
    trace::Capture capture;
    Setup() { trace::SetFatalPolicy(trace::FatalPolicy::Throw); }

    // Made on first use and never destroyed: libFuzzer may end the process from any point.
    static Setup& Get() {
        static Setup* const setup = new Setup;
        return *setup;
    }
};

}  // namespace aai_fuzz
