#include "common/motor_reading.h"

#include <cmath>

#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/common/virtual_motor.h"

namespace jointbus_detail {

const char* FamilyName(Family family) {
    static const char* const kNames[] = {"damiao", "feetech", "virtual", "other"};
    return kNames[int(family)];
}

Observed Observe(CtrlMotorInterface* motor) {
    Observed m;
    m.motor = motor;
    m.joint = dynamic_cast<damiaoMotor*>(motor);
    m.servo = dynamic_cast<feetechMotor*>(motor);
    m.virt = dynamic_cast<VirtualMotor*>(motor);
    if (m.joint != nullptr) {
        m.family = Family::kDamiao;
        m.bus = m.joint->dev_name;
    } else if (m.servo != nullptr) {
        m.family = Family::kFeetech;
        m.bus = m.servo->uartDevice;
    } else if (m.virt != nullptr) {
        m.family = Family::kVirtual;
    }
    return m;
}

void Read(const Observed& m, Reading& r) {
    r.position = r.velocity = r.torque = r.target = r.age = 0;
    r.temperature = 0;
    if (m.virt != nullptr)
        r.position = m.virt->position;
    else
        m.motor->getMotorPosition(r.position);
    m.motor->getVelocity(r.velocity);
    if (m.joint != nullptr)
        m.joint->peekTorque(r.torque);
    else
        m.motor->getTorque(r.torque);
    m.motor->getMotorTemperature(r.temperature);
    bool enabled = false;
    if (m.joint != nullptr) {
        r.code = m.joint->peekEnableStatus(enabled);
        r.hasTarget = m.joint->getTargetPosition(r.target) == 0;
        r.hasAge = m.joint->getFeedbackAge(r.age) == 0;
    } else {
        r.code = m.motor->getEnableStatus(enabled);
        r.hasTarget = m.servo != nullptr && m.servo->getTargetPosition(r.target) == 0;
        r.hasAge = m.servo != nullptr && m.servo->getFeedbackAge(r.age) == 0;
    }
    r.enabled = r.code == 0 && enabled;
}

void MakeFinite(Reading& r) {
    for (double* v : {&r.position, &r.velocity, &r.torque})
        if (!std::isfinite(*v)) *v = 0;
    if (!std::isfinite(r.target)) r.hasTarget = false;
    if (!std::isfinite(r.age)) r.hasAge = false;
}

}  // namespace jointbus_detail
