#include "jointbus/common/virtual_motor.h"

#include "common/command_watchdog.h"
#include "common/motor_limits.h"
#include "common/steady_ns.h"
#include "jointbus/common/motor_reading.h"

namespace {

// Set while a read runs the motor's watch: a hold the watch applies reads the motor again.
thread_local bool watching = false;

// Observers read the position from its field: the getter would advance the motor.
const bool observable = jointbus::RegisterMotorFamilyObserver(
    {"virtual",
     [](CtrlMotorInterface& motor, std::string&) {
         return dynamic_cast<VirtualMotor*>(&motor) != nullptr;
     },
     [](CtrlMotorInterface& motor, jointbus::MotorReading& r) {
         auto& virt = static_cast<VirtualMotor&>(motor);
         r = jointbus::MotorReading{};
         r.position = virt.position;
         virt.getVelocity(r.velocity);
         virt.getTorque(r.torque);
         virt.getMotorTemperature(r.temperature);
         r.code = virt.getEnableStatus(r.enabled);
     }});

}  // namespace

VirtualMotor::VirtualMotor() = default;

VirtualMotor::VirtualMotor(unsigned int id, bool inv) {
    motor_id = id;
    inverse = inv;
}

int VirtualMotor::init() {
    return 0;
}

int VirtualMotor::setMotorPosition(double pos) {
    jointbus_detail::LimitCommand(*this, &pos, nullptr, nullptr, &position);
    position = pos;
    return 0;
}

int VirtualMotor::setMotorPosition(double pos, double) {
    return setMotorPosition(pos);
}

int VirtualMotor::setMotorPosition(double pos, double, double) {
    return setMotorPosition(pos);
}

// Each read advances the simulation by one fixed step at the commanded velocity. It is the
// motor's tick too: its command watchdog and fault watch run here.
int VirtualMotor::getMotorPosition(double& pos) {
    if (!watching) {
        watching = true;
        jointbus_detail::WatchCommands(*this, SteadyNowNs());
        watching = false;
    }
    position = velocity * time_step + position;
    pos = position;
    return 0;
}

int VirtualMotor::setEnableStatus(bool enable) {
    enabled = enable;
    return 0;
}

int VirtualMotor::getEnableStatus(bool& out) {
    out = enabled;
    return jointbus_detail::LatchedFaultOf(*this);
}

int VirtualMotor::setHome(unsigned int) {
    position = 0.0;
    return 0;
}

int VirtualMotor::getTorque(double& torque) {
    torque = 0.0;
    return 0;
}

// The simulation reports no measured velocity, only the commanded one moves the position.
int VirtualMotor::getVelocity(double& out) {
    out = 0.0;
    return 0;
}

int VirtualMotor::setVelocity(double v) {
    jointbus_detail::LimitCommand(*this, nullptr, &v, nullptr);
    velocity = v;
    return 0;
}

int VirtualMotor::getMotorTemperature(int& temperature) {
    temperature = 25;
    return 0;
}
