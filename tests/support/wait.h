#pragma once

#include <algorithm>
#include <chrono>
#include <thread>

namespace testsupport {

// No check may depend on how fast the machine is: the same tests run under ThreadSanitizer,
// AddressSanitizer and valgrind, on a loaded two-core machine. A wait therefore lasts at
// least this long before it gives up; it still ends as soon as its condition holds, so only
// a failing check pays for it. A limit written in a test is what a healthy system needs.
constexpr std::chrono::milliseconds kPatience{30000};

// Builds whose checkers slow every instruction down many times; timed measurements (CPU
// shares, rates) are left out there.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif

// Polls `pred` every few milliseconds until it holds or `limit` (at least kPatience) has
// passed.
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + std::max(limit, kPatience);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace testsupport
