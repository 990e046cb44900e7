#include "running.h"

namespace zel::proglibs::ipc2 {

namespace {
thread_local const RunningRequest* tlsInnermost = nullptr;
}  // namespace

RunningRequest::RunningRequest(const std::shared_ptr<ConnectionHandler>& connection, int depth) noexcept
    : connection_(connection), depth_(depth), outer_(tlsInnermost) {
    tlsInnermost = this;
}

RunningRequest::~RunningRequest() { tlsInnermost = outer_; }

int RunningRequest::Depth() noexcept { return tlsInnermost != nullptr ? tlsInnermost->depth_ : 0; }

std::shared_ptr<ConnectionHandler> CurrentConnection() {
    return tlsInnermost != nullptr ? tlsInnermost->connection_ : nullptr;
}

}  // namespace zel::proglibs::ipc2
