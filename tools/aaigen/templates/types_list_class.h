class @name@ : public std::vector<@element@> {
public:
    using vector::vector;
};
// "[a, b]", each element in its own text form.
std::ostream& operator<<(std::ostream& os, const @name@& value);
template <>
std::string ToString<@name@>(const @name@& value);
