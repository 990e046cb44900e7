int Codec<@name@>::size(const @name@& value) {
    const @name@Impl& fields = ImplAccess::Of(value);
    @size@
}

@encode_head@
    const @name@Impl& fields = ImplAccess::Of(value);
    @encode@
}

@decode_head@
    @name@ value;
    @name@Impl& fields = ImplAccess::Of(value);
    @decode@
    return value;
}
