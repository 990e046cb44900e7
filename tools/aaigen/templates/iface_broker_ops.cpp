std::shared_ptr<proglibs::ipc2::IProxy> InterfaceBroker::make@wire@Proxy(
    int id, std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler, std::shared_ptr<InterfaceBrokers> brokers) {
    return std::make_shared<@wire@Proxy>(id, std::move(handler), std::move(brokers));
}

std::shared_ptr<proglibs::ipc2::IStub> InterfaceBroker::make@wire@Stub(
    void* object, int id, std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler,
    std::shared_ptr<InterfaceBrokers> brokers, std::shared_ptr<@name@> implementation) {
    return std::make_shared<@wire@Stub>(object, id, std::move(handler), std::move(brokers), std::move(implementation));
}

std::shared_ptr<@name@> InterfaceBroker::get@wire@Instance(std::shared_ptr<proglibs::ipc2::IStub> stub) {
    return detail::InstanceOf<@wire@Stub>(stub);
}
