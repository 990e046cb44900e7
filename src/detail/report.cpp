#include "aai/detail/report.h"

#include "trace/trace.h"

namespace zel::iface::aai::detail {

void ReportFatal(const char* file, int line, const char* function, const std::string& text) {
    dus_sds_log(file, line, function, "AAI", dus_sds_fatal(kFatalCategory, kFatalCode, "%s", text.c_str()));
}

}  // namespace zel::iface::aai::detail
