#include "jointbus/common/ctrl_motor_interface.h"

#include "common/motor_limits.h"

// Out of line, so that every motor, of any kind, leaves by this one path.
CtrlMotorInterface::~CtrlMotorInterface() {
    jointbus_detail::ForgetMotor(this);
}
