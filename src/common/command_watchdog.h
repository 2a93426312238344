#pragma once

// The library's side of jointbus::CommandWatchdog: the setters note each command, the ticks
// watch. Costs one relaxed load while no motor in the process has a watchdog.

#include <cmath>
#include <cstdint>

#include "jointbus/common/command_watchdog.h"
#include "jointbus/common/result_codes.h"

namespace jointbus_detail {

// One motor's watch, apart from any clock: the caller passes the time.
struct CommandWatch {
    int64_t timeoutNs = 0;
    int64_t lastNs = 0;  // the last command, or when the motor was seen enabled
    bool wasEnabled = false;
    bool tripped = false;  // the policy applied, and no command since

    void Note(int64_t nowNs) {
        lastNs = nowNs;
        tripped = false;
    }
    // Whether the policy applies now: once per silence of an enabled motor.
    bool Check(bool enabled, int64_t nowNs) {
        if (!enabled) {
            wasEnabled = false;
            return false;
        }
        if (!wasEnabled) {
            wasEnabled = true;
            Note(nowNs);
            return false;
        }
        if (tripped || nowNs - lastNs <= timeoutNs) return false;
        tripped = true;
        return true;
    }
};

// One motor's fault latch, apart from any clock: the caller passes the time.
struct FaultLatch {
    int64_t stallNs = 0;         // 0: no stall watch
    double torqueLimit = 0;
    int maxTemperature = 0;      // 0: no temperature watch
    bool atLimit = false;
    int64_t atLimitSinceNs = 0;
    int latched = 0;             // the latched code, 0 when none

    // The code that latches with this reading, or 0 (also while one is latched already).
    int Check(double torque, int temperature, int64_t nowNs) {
        if (latched != 0) return 0;
        if (maxTemperature > 0 && temperature >= maxTemperature)
            return latched = jointbus::kTemperatureLatched;
        if (stallNs == 0 || !(std::fabs(torque) >= torqueLimit)) {
            atLimit = false;
            return 0;
        }
        if (!atLimit) {
            atLimit = true;
            atLimitSinceNs = nowNs;
        }
        return nowNs - atLimitSinceNs >= stallNs ? latched = jointbus::kStallLatched : 0;
    }
};

// A command reached `motor` (its setters call this). Any thread.
void NoteCommand(const CtrlMotorInterface& motor);
// On the thread that ticks the motor's bus, once per tick, before the motor's frame is built:
// the command watchdog and the fault watch.
void WatchCommands(CtrlMotorInterface& motor, int64_t nowNs);
// Bumpless enable, on the thread that ticks the motor's bus. EnabledAnew: true once, on the
// tick that first sees a bumpless motor enabled. SeedGoalFirst (servos): true once when a
// bumpless servo is to be enabled, for the tick that sets its goal to where it stands before the
// next tick switches its torque on.
bool EnabledAnew(const CtrlMotorInterface& motor, bool enabled);
bool SeedGoalFirst(const CtrlMotorInterface& motor, bool enabling);
// The latched fault's code of `motor`, or 0; for its getEnableStatus. Any thread.
int LatchedFaultOf(const CtrlMotorInterface& motor);
// Latches `code` on `motor` as the fault watch would, without its policy. Any thread.
void LatchFault(const CtrlMotorInterface& motor, int code);

}  // namespace jointbus_detail
