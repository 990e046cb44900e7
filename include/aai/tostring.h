// Text forms: ToString for every value type of the interface, FromString for its enumerations.
#pragma once

#include <string>

namespace zel::iface::aai {

// Specialised for every type of the interface (and the primitive types below): writes the value
// with operator<< into a fresh, default-formatted string stream and returns the text.
template <class T>
std::string ToString(const T& value);

// Specialised for every enumeration: the value whose text form equals `text` exactly. Any other text
// is a fatal report ("Value is not a <Enum>: <text>") and gives the enumeration's first value.
template <class T>
T FromString(const std::string& text);

template <> std::string ToString<unsigned char>(const unsigned char& value);
template <> std::string ToString<int>(const int& value);
template <> std::string ToString<long long>(const long long& value);
template <> std::string ToString<double>(const double& value);
template <> std::string ToString<bool>(const bool& value);
template <> std::string ToString<std::string>(const std::string& value);

}  // namespace zel::iface::aai
