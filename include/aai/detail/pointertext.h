// The text form of an interface pointer or a broker bundle: its address, as the standard stream
// writes a const void* (so an empty pointer reads the same as a null one everywhere).
#pragma once

#include <string>

namespace zel::iface::aai::detail {

std::string PointerText(const void* pointer);

}  // namespace zel::iface::aai::detail
