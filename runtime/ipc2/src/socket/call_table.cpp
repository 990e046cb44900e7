#include "call_table.h"

#include <algorithm>

namespace zel::proglibs::ipc2::socket {

void CallTable::Add(Waiter& w) {
    do {
        ++nextCallId_;
    } while (nextCallId_ == 0 || Find(nextCallId_) != nullptr);
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

}  // namespace zel::proglibs::ipc2::socket
