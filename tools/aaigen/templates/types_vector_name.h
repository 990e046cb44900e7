using @name@ = std::vector<@element@>;
// "[a, b]", each element in its own text form.
std::ostream& operator<<(std::ostream& os, const @name@& value);
template <>
std::string ToString<@name@>(const @name@& value);
