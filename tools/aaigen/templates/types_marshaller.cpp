@encode@
    detail::Codec<@name@>::encode(stream, value, @context@);
}

@decode@
    return detail::Codec<@name@>::decode(stream, @context@);
}

@size@
    return detail::Codec<@name@>::size(value);
}
