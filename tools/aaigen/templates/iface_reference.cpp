template void detail::EncodeReference<@name@>(
    const detail::Stream&, const std::shared_ptr<@name@>&, const detail::Context&);
template std::shared_ptr<@name@> detail::DecodeReference<@name@>(const detail::Stream&, const detail::Context&);

void @wire@Marshaller::Encode(
    std::shared_ptr<proglibs::ipc2::ByteStream> stream, std::shared_ptr<@name@> object,
    std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler, std::shared_ptr<InterfaceBrokers> brokers) {
    detail::EncodeReference<@name@>(stream, object, {handler, brokers});
}

std::shared_ptr<@name@> @wire@Marshaller::Decode(
    std::shared_ptr<proglibs::ipc2::ByteStream> stream, std::shared_ptr<proglibs::ipc2::ConnectionHandler> handler,
    std::shared_ptr<InterfaceBrokers> brokers) {
    return detail::DecodeReference<@name@>(stream, {handler, brokers});
}

int @wire@Marshaller::SizeOf(std::shared_ptr<@name@>) { return detail::kReferenceSize; }
