#include "jointbus/common/motor_reading.h"

#include <cmath>
#include <deque>
#include <mutex>

#include "common/command_watchdog.h"

namespace jointbus {

namespace {

// Filled while the library loads, read afterwards; the lock covers a later registration.
std::mutex familiesMutex;
// A deque: entries stay where they are, and ObservedMotor points at them.
std::deque<MotorFamilyObserver>& Families() {
    static auto* const families = new std::deque<MotorFamilyObserver>;
    return *families;
}

}  // namespace

bool RegisterMotorFamilyObserver(const MotorFamilyObserver& family) {
    std::lock_guard<std::mutex> lock(familiesMutex);
    Families().push_back(family);
    return true;
}

ObservedMotor ObserveMotor(CtrlMotorInterface* motor) {
    ObservedMotor m;
    m.motor = motor;
    if (motor == nullptr) return m;
    std::lock_guard<std::mutex> lock(familiesMutex);
    for (const auto& family : Families()) {
        if (family.claims(*motor, m.bus)) {
            m.family = &family;
            break;
        }
    }
    return m;
}

void ReadThroughGetters(CtrlMotorInterface& motor, MotorReading& r) {
    r = MotorReading{};
    motor.getMotorPosition(r.position);
    motor.getVelocity(r.velocity);
    motor.getTorque(r.torque);
    motor.getMotorTemperature(r.temperature);
    r.code = motor.getEnableStatus(r.enabled);
}

void ReadMotor(const ObservedMotor& m, MotorReading& r) {
    if (m.family != nullptr)
        m.family->read(*m.motor, r);
    else
        ReadThroughGetters(*m.motor, r);
    if (r.code == 0) r.code = jointbus_detail::LatchedFaultOf(*m.motor);
    r.enabled = r.code == 0 && r.enabled;
}

void MakeFinite(MotorReading& r) {
    for (double* v : {&r.position, &r.velocity, &r.torque})
        if (!std::isfinite(*v)) *v = 0;
    if (!std::isfinite(r.target)) r.hasTarget = false;
    if (!std::isfinite(r.age)) r.hasAge = false;
}

}  // namespace jointbus
