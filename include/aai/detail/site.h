// Where a fatal report comes from. The generated code names itself (its file, line and qualified
// function), so that a report points at the interface and method concerned and not at the shared
// helper that noticed the failure.
#pragma once

#include <string>

#include "aai/detail/report.h"

namespace zel::iface::aai::detail {

struct Site {
    const char* file;
    int line;
    const char* function;
};

inline void Report(const Site& site, const std::string& text) {
    ReportFatal(site.file, site.line, site.function, text);
}

}  // namespace zel::iface::aai::detail
