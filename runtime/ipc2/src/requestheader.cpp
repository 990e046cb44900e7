#include "ipc2/requestheader.h"

namespace zel::proglibs::ipc2 {

std::string PeekedHeader::Describe() const {
    return "object " + std::to_string(objectId) + " method " + std::to_string(methodId);
}

}  // namespace zel::proglibs::ipc2
