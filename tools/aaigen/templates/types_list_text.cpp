std::ostream& operator<<(std::ostream& os, const @name@& value) {
    return WriteList(os, value);
}
