#pragma once

#include <chrono>
#include <thread>

namespace testsupport {

// Polls `pred` every few milliseconds until it holds or `limit` has passed.
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace testsupport
