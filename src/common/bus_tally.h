#pragma once

// The per-bus counters behind jointbus::ReadBusCounters, and a CAN interface's settings
// (jointbus::SetCanInterfaceSettings), kept by name in a process-wide table that is never
// destroyed (a device may count from its destructor after main has returned). An entry's
// address never changes, so a device may keep it.

#include <atomic>
#include <string>

#include "jointbus/common/can_settings.h"

namespace jointbus_detail {

struct BusTally {
    std::atomic<int> consecutiveWriteErrors{0};  // the CAN interface-restart rule
    std::atomic<unsigned long long> framesSent{0}, writeFailures{0}, offlineEpisodes{0};
    // The interface's settings; see jointbus::CanInterfaceSettings.
    std::atomic<int> tickUs{0}, frameGapUs{jointbus::CanInterfaceSettings::kDefaultFrameGapUs};
    std::atomic<bool> canFd{false};
    // errno of the latest failed attempt to open the bus; 0 once it opened (or before a try).
    std::atomic<int> openError{0};
    // A restart of the interface that a control cycle's thread may not wait for: its pause in
    // seconds, owed to the interface's bus thread (DriverCan::RunOwedRestart). 0: none.
    std::atomic<int> restartOwedSec{0};

    void Sent() { framesSent.fetch_add(1, std::memory_order_relaxed); }
    void Failed() { writeFailures.fetch_add(1, std::memory_order_relaxed); }
    void WentOffline() { offlineEpisodes.fetch_add(1, std::memory_order_relaxed); }
};

BusTally* TallyOf(const std::string& bus);  // made on first use; any thread

}  // namespace jointbus_detail
