#include "ipc2/marshallers.h"

namespace zel::proglibs::ipc2::wire {

void ThrowStringTooLong(std::size_t size) {
    throw StreamError("string of " + std::to_string(size) + " bytes is too long for a message");
}

void ThrowBadStringLength(std::int32_t length, std::size_t remaining) {
    throw StreamError("string length " + std::to_string(length) + " with " + std::to_string(remaining) +
                      " bytes remaining in the message");
}

}  // namespace zel::proglibs::ipc2::wire
