class @wire@Stub : public detail::StubBase<@wire@Stub, @name@> {
public:
    using StubBase::StubBase;

    std::shared_ptr<proglibs::ipc2::ByteStream> Receive(
        std::shared_ptr<proglibs::ipc2::ByteStream> request,
        std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler) override;
    int DecreaseReferenceCount(int count) override;
    bool GetSendFlag(int methodId) override;
};
