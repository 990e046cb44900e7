class @name@Impl {
public:
    @name@Impl() = default;
    @ctor@
    @name@Impl(const @name@Impl&) = default;
    @name@Impl(@name@Impl&&) = default;
    @name@Impl& operator=(const @name@Impl&) = default;
    @name@Impl& operator=(@name@Impl&&) = default;
    virtual ~@name@Impl() = default;

    @members@
};
