#include "served_calls.h"

#include <algorithm>

namespace zel::proglibs::ipc2::socket {

ServedCall* ServedCalls::Begin(std::uint32_t callId, std::uint64_t chain) {
    std::unique_ptr<ServedCall> call;
    if (spare_.empty()) {
        call = std::make_unique<ServedCall>();
    } else {
        call = std::move(spare_.back());
        spare_.pop_back();
    }
    call->callId = callId;
    call->chain = chain;
    call->cancelled.store(false, std::memory_order_relaxed);
    live_.push_back(std::move(call));
    return live_.back().get();
}

void ServedCalls::End(ServedCall* call) noexcept {
    // Requests end roughly in the order they came: look from the newest.
    for (auto it = live_.rbegin(); it != live_.rend(); ++it) {
        if (it->get() != call) continue;
        auto owned = std::move(*it);
        live_.erase(std::next(it).base());
        // Keeping the spare is an optimisation: without room for it, the entry simply goes.
        try {
            spare_.push_back(std::move(owned));
        } catch (...) {
        }
        return;
    }
}

bool ServedCalls::Cancel(std::uint32_t callId, std::uint64_t chain) noexcept {
    for (auto& call : live_) {
        if (call->callId != callId || call->chain != chain) continue;
        call->cancelled.store(true, std::memory_order_release);
        return true;
    }
    return false;
}

}  // namespace zel::proglibs::ipc2::socket
