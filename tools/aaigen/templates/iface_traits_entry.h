template <>
struct Traits<@name@> {
    static constexpr const char* kWireName = "@wire@";
    static constexpr int kReleaseId = @release@;
    static constexpr bool kHomeIsService = @home@;
    static constexpr auto kMakeProxy = &InterfaceBroker::make@wire@Proxy;
    static constexpr auto kMakeStub = &InterfaceBroker::make@wire@Stub;
    static constexpr auto kGetInstance = &InterfaceBroker::get@wire@Instance;
    static constexpr const char* kEncodeFunction = "@ns@::@wire@Marshaller::Encode";
    static constexpr const char* kDecodeFunction = "@ns@::@wire@Marshaller::Decode";
};
