class @name@Impl;

@doc@
class @name@ {
public:
    @name@();
    @ctor@
    @name@(const @name@& other);
    @name@& operator=(const @name@& other);
    @name@(@name@&& other) noexcept;
    @name@& operator=(@name@&& other) noexcept;
    ~@name@();

    @accessors@

    bool equals(const @name@& other) const;
    // Lexicographic over the fields; an unset optional field is less than a set one.
    bool lessThan(const @name@& other) const;
    // "@name@; label=value; ...", "label='none'" for an unset optional field.
    std::string toString() const;

private:
    friend struct detail::ImplAccess;

    std::shared_ptr<@name@Impl> impl_;
    std::shared_ptr<@name@Impl> (*copy_)(const @name@Impl&);
};

bool operator==(const @name@& a, const @name@& b);
bool operator!=(const @name@& a, const @name@& b);
bool operator<(const @name@& a, const @name@& b);
bool operator<=(const @name@& a, const @name@& b);
bool operator>(const @name@& a, const @name@& b);
bool operator>=(const @name@& a, const @name@& b);
std::ostream& operator<<(std::ostream& os, const @name@& value);
template <>
std::string ToString<@name@>(const @name@& value);
