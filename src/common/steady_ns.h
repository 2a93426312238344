#pragma once

// The steady clock in nanoseconds since its epoch, for stamps kept in atomics.

#include <chrono>
#include <cstdint>

inline int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The sender's tick reads the clock once for all its motors (a system call where the clock has
// no fast path, as under user-mode Linux): while a TickClock lives on a thread, TickOrNowNs on
// that thread returns the tick's start. A frame sent later in the tick is then stamped up to
// the tick's length early, which only ever starts a feedback watch sooner. Other threads read
// the clock.
namespace steady_ns_detail {
inline thread_local int64_t tickNs = 0;
}

class TickClock {
public:
    TickClock() { steady_ns_detail::tickNs = SteadyNowNs(); }
    ~TickClock() { steady_ns_detail::tickNs = 0; }
    TickClock(const TickClock&) = delete;
    TickClock& operator=(const TickClock&) = delete;
};

inline int64_t TickOrNowNs() {
    const int64_t tick = steady_ns_detail::tickNs;
    return tick != 0 ? tick : SteadyNowNs();
}
