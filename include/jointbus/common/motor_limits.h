#pragma once

// Limits on what a caller may command a motor, beyond the model's own ranges: a position
// range, the largest speed and torque, and the largest change of target per command. Opt-in:
// a motor without limits is commanded exactly as before.
//
// A command beyond a limit is clamped to it, never refused; each kind of limit logs one WARN
// per episode (until a command passes it unclamped again), and every clamped command counts.
// Positions are in the caller's direction (after `inverse`).

#include <limits>
#include <string>

#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/export.h"

namespace jointbus {

struct MotorLimits {
    static constexpr double kNone = std::numeric_limits<double>::infinity();
    double positionMin = -kNone, positionMax = kNone;  // rad
    double velocity = kNone;                           // rad/s, the speed argument and the ramp
    double torque = kNone;                             // N·m, feed-forward and commanded torque
    double step = kNone;  // rad, the largest change of target per command
};

// "" when the limits may be used, else what is wrong with them (a NaN, a minimum above the
// maximum, a speed, torque or step that is not positive).
JOINTBUS_API std::string CheckMotorLimits(const MotorLimits& limits);
// Sets the limits of `motor` (all kNone clears them): 0, or -1 with an ERROR line and nothing
// changed. Takes effect at the next command. Any thread.
JOINTBUS_API int SetMotorLimits(CtrlMotorInterface* motor, const MotorLimits& limits);
// The limits of `motor`: all kNone where none were set. Any thread.
JOINTBUS_API MotorLimits GetMotorLimits(const CtrlMotorInterface* motor);
// Commands clamped by a limit since the limits were set. Any thread.
JOINTBUS_API unsigned long long MotorLimitHits(const CtrlMotorInterface* motor);

}  // namespace jointbus
