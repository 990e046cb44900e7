struct @name@Marshaller {
    @encode@
    @decode@
    @size@
};
