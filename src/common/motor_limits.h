#pragma once

// The library's side of jointbus::MotorLimits: what the families' setters and the Damiao
// sender call. Costs one relaxed load while no motor in the process has limits.

#include "jointbus/common/motor_limits.h"

namespace jointbus_detail {

// Applies the limits of `motor` to one command, in the caller's direction: `position` (null
// for a command without one), `velocity` and `torque` (null where the command has none) are
// clamped in place. Any thread; before the setter takes its own locks. It also notes the
// command for the motor's command watchdog.
void LimitCommand(CtrlMotorInterface& motor, double* position, double* velocity, double* torque);
// The ramp's speed limit of `motor` in rad/s (kNone without limits). Any thread.
double RampLimit(const CtrlMotorInterface& motor);
// Drops the limits and the command watchdog of a motor that goes (its destructor), so that a
// later motor at the same address does not inherit them.
void ForgetLimits(const CtrlMotorInterface* motor);

}  // namespace jointbus_detail
