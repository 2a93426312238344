#pragma once

// Impedance and torque commands for Damiao motors in MIT mode, and the damping that stops a
// loaded joint gently: kp 0 and a kd, so the joint sinks slowly instead of falling.
//
// A motor's ticks send its own kp and kd (the file's) until SetImpedance or SetTorqueCommand
// gives a command its own gains; the next plain setter call (setMotorPosition, setVelocity)
// goes back to the motor's own (and, as ever, keeps the last torque unless it gives one:
// setMotorPosition(p, v, 0) ends a torque command's torque). Damping, once started, lasts its time and ends with the motor
// disabled; enabling the motor again ends it sooner. Opt-in: a motor that none of these calls
// reach is commanded exactly as before.

#include <string>

#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/export.h"

namespace jointbus {

// One MIT command, in the caller's direction: rad, rad/s, N·m/rad, N·m·s/rad, N·m.
struct ImpedanceCommand {
    double position = 0;
    double velocity = 0;
    double kp = 0;
    double kd = 0;
    double torque = 0;
};

// Sends `command` from the next tick on, until the next command. The position, speed and torque
// pass the motor's limits like any setter's (clamped, counted, one WARN per episode); kp and kd
// must lie in the model's ranges. 0; kDamiaoNotANumber (2003) for a NaN or an infinite
// value, nothing stored; -1
// with an ERROR line for a motor that is not a Damiao motor in MIT mode, or a gain out of range.
// Any thread.
JOINTBUS_API int SetImpedance(CtrlMotorInterface* motor, const ImpedanceCommand& command);
// Why SetImpedance refuses `command` for `motor` (not a NaN: that has its code), or "".
JOINTBUS_API std::string CheckImpedance(const CtrlMotorInterface* motor,
                                        const ImpedanceCommand& command);
// A torque-only command: kp = kd = 0. As SetImpedance.
JOINTBUS_API int SetTorqueCommand(CtrlMotorInterface* motor, double torque);

enum class OnExit { kHoldThenDisable, kDampThenDisable };

// How the library stops a motor at the end of a run (HoldAndDisable: the tools, the Python
// Arm, signals). The damping time and kd also serve the command watchdog's kDamp.
struct ExitPolicy {
    static constexpr int kMaxDampMs = 60000;
    OnExit onExit = OnExit::kHoldThenDisable;
    int dampMs = 500;     // 1 to kMaxDampMs
    double dampKd = -1;   // below 0: the motor's own kd
};

// What is wrong with `policy` for `motor`, or "" when nothing is.
JOINTBUS_API std::string CheckExitPolicy(const CtrlMotorInterface* motor, const ExitPolicy& policy);
// 0, or -1 with an ERROR line and nothing changed (a kd beyond the model's range, a time out
// of range). A servo, or a Damiao motor in another mode, takes kDampThenDisable and holds
// instead. Any thread.
JOINTBUS_API int SetExitPolicy(CtrlMotorInterface* motor, const ExitPolicy& policy);
JOINTBUS_API ExitPolicy GetExitPolicy(const CtrlMotorInterface* motor);
// Starts the exit damping of `motor` where its policy and its mode ask for it; its tick
// disables it after the damping time. The time in ms, or 0 where the motor is to be held and
// disabled instead. Any thread.
JOINTBUS_API int StartExitDamping(CtrlMotorInterface* motor);

}  // namespace jointbus
