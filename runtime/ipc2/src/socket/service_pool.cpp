#include "service_pool.h"

namespace zel::proglibs::ipc2::socket {

bool ServicePool::Spawn(std::function<void()> body, std::string& why) {
    if (threads_ >= kMaxThreads) return false;
    try {
        started_.emplace_back(std::move(body));
    } catch (const std::exception& e) {
        why = std::string("cannot start a thread: ") + e.what();
        return false;
    }
    ++threads_;
    ++idle_;
    return true;
}

void ServicePool::Ended() noexcept {
    --threads_;
    if (joinerComing_) return;
    const auto self = std::this_thread::get_id();
    for (auto it = started_.begin(); it != started_.end(); ++it) {
        if (it->get_id() != self) continue;
        it->detach();
        started_.erase(it);
        return;
    }
}

}  // namespace zel::proglibs::ipc2::socket
