// The smallest client of libjointbus: prints the library's version line and drives a virtual
// motor through the abstract motor interface.

#include <jointbus/common/version.h>
#include <jointbus/common/virtual_motor.h>

#include <cstdio>
#include <memory>

int main() {
    std::printf("%s\n", get_lib_version());
    std::unique_ptr<CtrlMotorInterface> motor = std::make_unique<VirtualMotor>(1, false);
    motor->init();
    motor->setEnableStatus(true);
    motor->setVelocity(1.0);
    double pos = 0;
    for (int i = 0; i < 200; ++i) motor->getMotorPosition(pos);  // one second at 200 Hz
    std::printf("virtual motor %u at %.3f rad\n", motor->motor_id, pos);
    return pos > 0.99 && pos < 1.01 ? 0 : 1;
}
