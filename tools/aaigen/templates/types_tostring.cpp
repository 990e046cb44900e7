template <>
std::string ToString<@name@>(const @name@& value) {
    return TextOf(value);
}
