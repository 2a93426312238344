#pragma once

// What the library has counted on one bus (a CAN interface or a serial port, by its name)
// since the process started, for dashboards and health checks. Counting never waits: the
// counters are atomics that the bus threads bump as they go.

#include <string>

#include "jointbus/common/export.h"

namespace jointbus {

struct BusCounters {
    unsigned long long framesSent = 0;       // frames (CAN) or packets (serial) written
    unsigned long long writeFailures = 0;    // writes that failed
    unsigned long long offlineEpisodes = 0;  // times a motor on the bus went offline
};

// The counters of `bus`; all zero for a bus nothing has used. Any thread.
JOINTBUS_API BusCounters ReadBusCounters(const std::string& bus);

// Why the bus could not be opened: the errno of the latest failed attempt (ENODEV for a CAN
// interface that does not exist, ENOENT for a serial port that is not there), or 0 when the
// latest attempt succeeded or none was made. Any thread.
JOINTBUS_API int BusOpenError(const std::string& bus);

}  // namespace jointbus
