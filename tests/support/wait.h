// Waiting in tests for what other threads or processes do.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

// Polls `done` until it holds or the bound passes; the bound only catches hangs.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
