// How the binding reports a failure: one fatal report through the trace facility, category 1,
// code 11504, component "AAI". Data (texts from a peer, names) only ever travels as the argument
// of a "%s", never as a format.
#pragma once

#include <string>

namespace zel::iface::aai::detail {

constexpr int kFatalCategory = 1;
constexpr int kFatalCode = 11504;

void ReportFatal(const char* file, int line, const char* function, const std::string& text);

}  // namespace zel::iface::aai::detail
