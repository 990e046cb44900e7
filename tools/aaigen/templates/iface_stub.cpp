std::shared_ptr<proglibs::ipc2::ByteStream> @stub@::Receive(
    std::shared_ptr<proglibs::ipc2::ByteStream> request, std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler) {
    switch (detail::ReadMethodId(*request)) {
    @cases@
    default:
        return detail::Unsupported({__FILE__, __LINE__, "@ns@::@stub@::Receive"});
    }
}

int @stub@::DecreaseReferenceCount(int count) {
    return Lower(count, {__FILE__, __LINE__, "@ns@::@stub@::DecreaseReferenceCount"});
}

@send_flag@
