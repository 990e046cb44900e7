#include "call_table.h"

#include <algorithm>

namespace zel::proglibs::ipc2::socket {

void CallTable::Add(Waiter& w) {
    do {
        ++nextCallId_;
    } while (nextCallId_ == 0 || Find(nextCallId_) != nullptr ||
             std::find(abandoned_.begin(), abandoned_.end(), nextCallId_) != abandoned_.end());
    w.callId = nextCallId_;
    calls_.push_back(&w);
}

void CallTable::Remove(Waiter& w) { calls_.erase(std::find(calls_.begin(), calls_.end(), &w)); }

Waiter* CallTable::Find(std::uint32_t callId) const noexcept {
    for (Waiter* w : calls_)
        if (w->callId == callId) return w;
    return nullptr;
}

Waiter* CallTable::InnermostOf(std::uint64_t chain) const noexcept {
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it)
        if ((*it)->chain == chain) return *it;
    return nullptr;
}

Waiter* CallTable::ParkedReader() const noexcept {
    if (parked_ == 0) return nullptr;
    for (Waiter* w : calls_)
        if (w->parked && !w->done && w->inbox.empty()) return w;
    return nullptr;
}

bool CallTable::Expire(Waiter& w) noexcept {
    if (w.deadline == std::chrono::steady_clock::time_point::max() || w.done) return false;
    if (std::chrono::steady_clock::now() < w.deadline) return false;
    w.expired = true;
    return true;
}

void CallTable::Abandon(std::uint32_t callId) {
    if (abandoned_.size() == kRememberedAbandoned) abandoned_.erase(abandoned_.begin());
    abandoned_.push_back(callId);
}

bool CallTable::TakeAbandoned(std::uint32_t callId) noexcept {
    auto found = std::find(abandoned_.begin(), abandoned_.end(), callId);
    if (found == abandoned_.end()) return false;
    abandoned_.erase(found);
    return true;
}

}  // namespace zel::proglibs::ipc2::socket
