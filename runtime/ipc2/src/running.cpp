#include "running.h"

namespace zel::proglibs::ipc2 {

std::shared_ptr<ConnectionHandler> CurrentConnection() {
    const RunningRequest* innermost = RunningRequest::innermost_;
    return innermost != nullptr ? innermost->connection_.shared_from_this() : nullptr;
}

}  // namespace zel::proglibs::ipc2
