#pragma once

// The library's side of jointbus::SetImpedance and the damping: which gains a Damiao motor's
// MIT frame carries in a tick. Costs one relaxed load while no motor in the process has
// commanded gains, an exit policy or a damping under way.

#include <cstdint>

#include "jointbus/common/ctrl_motor_interface.h"

class damiaoMotor;

namespace jointbus_detail {

struct MitGains {
    float kp, kd;
    bool damping;  // kp 0, no speed and no torque: the frame carries only kd
};
// The gains of this tick's MIT frame of `m`, whose own are `kp` and `kd`. Tick thread.
MitGains TickGains(const damiaoMotor& m, float kp, float kd);
// Before the motor's frame in its tick: a damping whose time is over disables the motor.
void WatchDamping(damiaoMotor& m, int64_t nowNs);
// Whether `m` can damp: a Damiao motor in MIT mode.
bool CanDamp(const CtrlMotorInterface& m);
// Starts the damping of an enabled motor that can damp, with its exit policy's time and kd;
// false, with nothing started, otherwise. Not a command: the command watchdog does not see it.
bool StartDamping(CtrlMotorInterface& m, int64_t nowNs);
// Bumpless enable, on the tick that first sees `m` enabled: without a target from the caller,
// it holds where it stands; a target set before is brought within the limits' step of there.
void HoldWhereEnabled(damiaoMotor& m);
// A plain setter's call: the motor's own gains again. Enabling or disabling ends a damping too.
void OwnGains(const CtrlMotorInterface& m, bool endDamping);

}  // namespace jointbus_detail
