#pragma once

// Real-time options for the library's bus threads (the Damiao senders, the servo schedulers
// and the receive threads of CAN interfaces and serial ports), for the whole process:
// SCHED_FIFO at a priority, a set of CPUs, and memory locked with mlockall. Without them the
// threads run under the normal scheduler, as always.
//
// In a configuration file they are the root key "realtime":
//
//   realtime: {priority: 80, cpus: [2, 3], lock_memory: true}
//
// A thread takes the priority and CPUs when it starts (set them before the first motor
// inits); memory is locked at once. Each logs at INFO what took effect, or at WARN what was
// not permitted and why (SCHED_FIFO needs CAP_SYS_NICE or an rtprio limit, mlockall
// CAP_IPC_LOCK or a memlock limit); the run goes on either way.

#include <string>
#include <vector>

#include "jointbus/common/export.h"

namespace jointbus {

struct RealtimeSettings {
    static constexpr int kMaxPriority = 99;

    int priority = 0;       // SCHED_FIFO priority 1 to 99; 0: the normal scheduler
    std::vector<int> cpus;  // the CPUs the bus threads may run on; empty: any
    bool lockMemory = false;
};

// "" when `settings` may be used, else what is wrong with it ("priority must be ...").
JOINTBUS_API std::string CheckRealtimeSettings(const RealtimeSettings& settings);
// Sets the options for bus threads started from now on, and locks memory when asked. 0, or -1
// with an ERROR line and nothing changed when a value is out of range. Any thread.
JOINTBUS_API int SetRealtime(const RealtimeSettings& settings);

}  // namespace jointbus
