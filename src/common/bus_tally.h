#pragma once

// The per-bus counters behind jointbus::ReadBusCounters, kept by name in a process-wide table
// that is never destroyed (a device may count from its destructor after main has returned).
// An entry's address never changes, so a device may keep it.

#include <atomic>
#include <string>

namespace jointbus_detail {

struct BusTally {
    std::atomic<int> consecutiveWriteErrors{0};  // the CAN interface-restart rule
    std::atomic<unsigned long long> framesSent{0}, writeFailures{0}, offlineEpisodes{0};

    void Sent() { framesSent.fetch_add(1, std::memory_order_relaxed); }
    void Failed() { writeFailures.fetch_add(1, std::memory_order_relaxed); }
    void WentOffline() { offlineEpisodes.fetch_add(1, std::memory_order_relaxed); }
};

BusTally* TallyOf(const std::string& bus);  // made on first use; any thread

}  // namespace jointbus_detail
