// Keeps a motor in static storage, initialises it in main and returns, so that the motor is
// destroyed after main, during the teardown of the process. Prints "init <result>" and exits
// 0 when that teardown is clean.
//   static_motor_probe feetech DEVICE   a servo on DEVICE (answering or not)
//   static_motor_probe damiao           a Damiao motor over the socket-pair transport double

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "jointbus/Feetech/FeetechMotor.h"
#include "paired_can.h"

namespace {
// Statics are destroyed in reverse order: the responder outlives the motor it answers.
testsupport::Responder responder;
std::unique_ptr<CtrlMotorInterface> motor;
}  // namespace

int main(int argc, char** argv) {
    const std::string kind = argc >= 2 ? argv[1] : "";
    if (kind == "feetech" && argc >= 3) {
        std::string device = argv[2];
        motor = std::make_unique<feetechMotor>(1, 1000000, device, false);
    } else if (kind == "damiao") {
        motor = std::make_unique<testsupport::PairedMotor>(1, responder);
    } else {
        std::fprintf(stderr, "usage: static_motor_probe feetech DEVICE | damiao\n");
        return 2;
    }
    const int result = motor->init();
    motor->setEnableStatus(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a few ticks of the bus threads
    std::printf("init %d\n", result);
    return 0;
}
