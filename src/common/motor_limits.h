#pragma once

// The library's side of jointbus::MotorLimits: what the families' setters and the Damiao
// sender call. Costs one relaxed load while no motor in the process has limits.

#include <string>

#include "jointbus/common/motor_limits.h"

namespace jointbus_detail {

// Applies the limits of `motor` to one command, in the caller's direction: `position` (null
// for a command without one), `velocity` and `torque` (null where the command has none) are
// clamped in place. Any thread; before the setter takes its own locks. It also notes the
// command for the motor's command watchdog.
// `present` is the motor's position where the caller has it at hand (a virtual motor, whose
// getter would advance it); null reads it through the getter.
void LimitCommand(CtrlMotorInterface& motor, double* position, double* velocity, double* torque,
                  const double* present = nullptr);
// The step limit measures from the present position again, not from the last target let
// through: the position frame or the motor's place has changed under that target (homing, an
// enable or disable, an offline episode, damping, the bumpless hold). Any thread, under no
// lock of the limits'.
void RestartStep(const CtrlMotorInterface& motor);
// The ramp's speed limit of `motor` in rad/s (kNone without limits). Any thread.
double RampLimit(const CtrlMotorInterface& motor);
// Drops everything kept for a motor that goes (the interface's destructor), so that a later
// motor at the same address does not inherit it.
void ForgetMotor(const CtrlMotorInterface* motor);
// "" for a motor that applies the per-motor settings (limits, command watchdog, fault watch,
// bumpless enable): the library's own kinds, the virtual motor included. Else why not: a
// client's own kind never calls into them, so a setting would be accepted and never applied.
std::string SettingsRefusal(const CtrlMotorInterface* motor);

}  // namespace jointbus_detail
