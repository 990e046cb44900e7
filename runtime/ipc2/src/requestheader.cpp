#include "ipc2/requestheader.h"

namespace zel::proglibs::ipc2 {

PeekedHeader PeekedHeader::Of(const unsigned char* data, std::size_t size) noexcept {
    PeekedHeader h;
    if (size >= 4) h.objectId = static_cast<std::int32_t>(LoadLe32(data));
    if (size > RequestHeader::kModuleOffset) h.module = data[RequestHeader::kModuleOffset];
    if (size >= RequestHeader::kSize) {
        h.methodId = static_cast<std::int32_t>(LoadLe32(data + RequestHeader::kMethodOffset));
        h.complete = true;
    }
    return h;
}

std::string PeekedHeader::Describe() const {
    return "object " + std::to_string(objectId) + " method " + std::to_string(methodId);
}

}  // namespace zel::proglibs::ipc2
