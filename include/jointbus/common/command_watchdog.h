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

#include <string>

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

// Latched faults, opt-in per motor. The tick that watches commands also checks:
//   - stall: the measured torque's magnitude at or above the motor's torque limit
//     (MotorLimits::torque) for stallMs;
//   - over-temperature: the temperature at or above maxTemperature °C.
// A fault latches once, with one ERROR line, and `onFault` applies once (as the command
// watchdog's policies do). It stays until ClearLatchedFault (or, on a Damiao motor,
// ClearErrors): meanwhile getEnableStatus returns its code, kStallLatched (4007) or
// kTemperatureLatched (4008).
struct FaultWatch {
    int stallMs = 0;         // 0: no stall watch; else 1 to CommandWatchdog::kMaxTimeoutMs
    int maxTemperature = 0;  // 0: no temperature watch; else 1 to 200
    OnCommandTimeout onFault = OnCommandTimeout::kDisable;
};
// What is wrong with `watch` for `motor` (a stall watch without a torque limit, kDamp on a
// motor that cannot damp), or "".
JOINTBUS_API std::string CheckFaultWatch(const CtrlMotorInterface* motor, const FaultWatch& watch);
// 0, or -1 with an ERROR line and nothing changed. Both zero switch the watch off. Any thread.
JOINTBUS_API int SetFaultWatch(CtrlMotorInterface* motor, const FaultWatch& watch);
JOINTBUS_API FaultWatch GetFaultWatch(const CtrlMotorInterface* motor);
// Bumpless enable, opt-in per motor: from an enable until the caller's first command, the
// motor holds where it stands. A Damiao motor is sent a hold at its measured position (without
// it, enable frames and no command), and a target set before the enable is brought within the
// limits' step of that position, then approached at the ramp's speed. A servo's goal is set to
// where it stands before its torque goes on (one tick later). Any thread; 0, or -1 with an
// ERROR line for no motor.
JOINTBUS_API int SetBumplessEnable(CtrlMotorInterface* motor, bool on);
JOINTBUS_API bool GetBumplessEnable(const CtrlMotorInterface* motor);

// The latched fault's code, or 0. Any thread.
JOINTBUS_API int LatchedFault(const CtrlMotorInterface* motor);
JOINTBUS_API void ClearLatchedFault(const CtrlMotorInterface* motor);

}  // namespace jointbus
