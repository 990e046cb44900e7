// ---------------------------------------------------------------------------------------------
// @name@

@name@::@name@()
    : impl_(std::make_shared<@name@Impl>()),
      copy_(&CopyImpl<@name@Impl>) {}

@ctor@

@name@::@name@(const @name@& other)
    : impl_(other.copy_(*other.impl_)),
      copy_(other.copy_) {}

@name@& @name@::operator=(const @name@& other) {
    if (this != &other) {
        impl_ = other.copy_(*other.impl_);
        copy_ = other.copy_;
    }
    return *this;
}

@name@::@name@(@name@&& other) noexcept
    : impl_(std::move(other.impl_)),
      copy_(other.copy_) {}

@name@& @name@::operator=(@name@&& other) noexcept {
    impl_ = std::move(other.impl_);
    copy_ = other.copy_;
    return *this;
}

@name@::~@name@() = default;

@accessors@

bool @name@::equals(const @name@& other) const {
    const @name@Impl& a = *impl_;
    const @name@Impl& b = *other.impl_;
    @equals@
}

bool @name@::lessThan(const @name@& other) const {
    const @name@Impl& a = *impl_;
    const @name@Impl& b = *other.impl_;
    @less@
    return false;
}

std::string @name@::toString() const {
    std::ostringstream os;
    os << "@name@";
    @write_fields@
    return os.str();
}

bool operator==(const @name@& a, const @name@& b) {
    return a.equals(b);
}

bool operator!=(const @name@& a, const @name@& b) {
    return !(a == b);
}

bool operator<(const @name@& a, const @name@& b) {
    return a.lessThan(b);
}

bool operator<=(const @name@& a, const @name@& b) {
    return !(b < a);
}

bool operator>(const @name@& a, const @name@& b) {
    return b < a;
}

bool operator>=(const @name@& a, const @name@& b) {
    return !(a < b);
}

std::ostream& operator<<(std::ostream& os, const @name@& value) {
    return os << value.toString();
}
