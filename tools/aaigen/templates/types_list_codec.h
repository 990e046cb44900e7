template <>
struct Codec<@name@> : ListCodec<@name@> {};
