struct @wire@Marshaller {
    static void Encode(
        std::shared_ptr<proglibs::ipc2::ByteStream> stream, std::shared_ptr<@name@> object,
        std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler, std::shared_ptr<InterfaceBrokers> brokers);
    static std::shared_ptr<@name@> Decode(
        std::shared_ptr<proglibs::ipc2::ByteStream> stream, std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler,
        std::shared_ptr<InterfaceBrokers> brokers);
    static int SizeOf(std::shared_ptr<@name@> object);
};
