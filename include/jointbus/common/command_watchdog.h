#pragma once

// A command watchdog per motor. When an enabled motor gets no command (a position, speed or
// torque setter call) for longer than its timeout, its bus's tick, or the control cycle that
// drives the bus, applies the policy once and logs one WARN:
//   - kHold: the target becomes the present position; the next command resumes;
//   - kDisable: the motor is disabled and has to be enabled again;
//   - kDamp (Damiao motors in MIT mode): kp 0 and the exit policy's kd for its damping time,
//     then disabled, to be enabled again (jointbus/common/impedance.h).
// The time counts from the last command, or from when the motor was seen enabled, whichever
// is later. Opt-in: a motor without a watchdog is commanded exactly as before.

#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/export.h"

namespace jointbus {

enum class OnCommandTimeout { kHold, kDisable, kDamp };

struct CommandWatchdog {
    static constexpr int kMaxTimeoutMs = 600000;
    int timeoutMs = 0;  // 0: no watchdog; else 1 to kMaxTimeoutMs
    OnCommandTimeout policy = OnCommandTimeout::kHold;
};

// Sets the watchdog of `motor` (timeoutMs 0 clears it): 0, or -1 with an ERROR line and
// nothing changed (kDamp on a motor that cannot damp among them). Any thread.
JOINTBUS_API int SetCommandWatchdog(CtrlMotorInterface* motor, const CommandWatchdog& watchdog);
// The watchdog of `motor`: timeoutMs 0 where none was set. Any thread.
JOINTBUS_API CommandWatchdog GetCommandWatchdog(const CtrlMotorInterface* motor);
// How many times the watchdog of `motor` applied its policy since it was set. Any thread.
JOINTBUS_API unsigned long long CommandTimeouts(const CtrlMotorInterface* motor);

}  // namespace jointbus
