#pragma once

// The library's side of jointbus::CommandWatchdog: the setters note each command, the ticks
// watch. Costs one relaxed load while no motor in the process has a watchdog.

#include <cstdint>

#include "jointbus/common/command_watchdog.h"

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

// A command reached `motor` (its setters call this). Any thread.
void NoteCommand(const CtrlMotorInterface& motor);
// On the thread that ticks the motor's bus, once per tick, before the motor's frame is built.
void WatchCommands(CtrlMotorInterface& motor, int64_t nowNs);
// Drops the watch of a motor that goes (its destructor).
void ForgetCommandWatch(const CtrlMotorInterface* motor);

}  // namespace jointbus_detail
