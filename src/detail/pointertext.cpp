#include "aai/detail/pointertext.h"

#include <sstream>

namespace zel::iface::aai::detail {

std::string PointerText(const void* pointer) {
    std::ostringstream text;
    text << pointer;
    return text.str();
}

}  // namespace zel::iface::aai::detail
