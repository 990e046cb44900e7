constexpr const char* k@name@Texts[] = {
    @texts@
};
