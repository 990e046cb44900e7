@name@::~@name@() = default;

template <>
std::string ToString<std::shared_ptr<@name@>>(const std::shared_ptr<@name@>& value) {
    return detail::PointerText(value.get());
}

std::ostream& operator<<(std::ostream& os, const std::shared_ptr<@name@>& value) {
    return os << static_cast<const void*>(value.get());
}
