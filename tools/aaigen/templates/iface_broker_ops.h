virtual std::shared_ptr<proglibs::ipc2::IProxy> make@wire@Proxy(
    int id, std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler, std::shared_ptr<InterfaceBrokers> brokers);
virtual std::shared_ptr<proglibs::ipc2::IStub> make@wire@Stub(
    void* object, int id, std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler,
    std::shared_ptr<InterfaceBrokers> brokers, std::shared_ptr<@name@> implementation);
virtual std::shared_ptr<@name@> get@wire@Instance(std::shared_ptr<proglibs::ipc2::IStub> stub);
