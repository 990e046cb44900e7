template <>
struct Codec<@name@> {
    static int size(const @name@& value);
    static void encode(const Stream& stream, const @name@& value, const Context& context);
    static @name@ decode(const Stream& stream, const Context& context);
};
