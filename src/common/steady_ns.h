#pragma once

// The steady clock in nanoseconds since its epoch, for stamps kept in atomics.

#include <chrono>
#include <cstdint>

inline int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
