std::ostream& operator<<(std::ostream& os, const @name@& value) {
    return WriteEnum(os, value, k@name@Texts, "unknown @name@");
}

std::istream& operator>>(std::istringstream& is, @name@& value) {
    value = FromString<@name@>(is.str());
    return is;
}

template <>
std::string ToString<@name@>(const @name@& value) {
    return TextOf(value);
}

template <>
@name@ FromString<@name@>(const std::string& text) {
    @name@ value = @first@;
    if (!ParseEnum(text, k@name@Texts, value)) {
        // Not detail::ReportFatal: the format names the enumeration. The text stays an argument.
        dus_sds_log(__FILE__, __LINE__, "@function@", "AAI",
                    dus_sds_fatal(detail::kFatalCategory, detail::kFatalCode,
                                  "Value is not a @name@: %s", text.c_str()));
    }
    return value;
}
