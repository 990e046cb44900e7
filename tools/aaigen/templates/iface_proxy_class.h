class @wire@Proxy : public detail::ProxyBase<@name@> {
public:
    using ProxyBase::ProxyBase;

    @methods@
};
