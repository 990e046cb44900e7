class @name@ {
public:
    @methods@
    virtual ~@name@();
@connector@};

template <>
std::string ToString<std::shared_ptr<@name@>>(const std::shared_ptr<@name@>& value);
std::ostream& operator<<(std::ostream& os, const std::shared_ptr<@name@>& value);
