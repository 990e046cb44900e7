enum @name@ : std::int32_t {
    @enumerators@
};
std::ostream& operator<<(std::ostream& os, const @name@& value);
// Parses the stream's whole text (str()), whatever has been read of it; moves nothing, sets no flag.
std::istream& operator>>(std::istringstream& is, @name@& value);
template <>
std::string ToString<@name@>(const @name@& value);
template <>
@name@ FromString<@name@>(const std::string& text);
