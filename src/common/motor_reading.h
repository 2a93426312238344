#pragma once

// One look at a motor for observers (the trace recorder, the live view): what it is, and what
// it reports now, read through getters that never wait on a bus and change nothing of what the
// motor does.

#include <cstdint>
#include <string>

#include "jointbus/common/ctrl_motor_interface.h"

class damiaoMotor;
class feetechMotor;
class VirtualMotor;

namespace jointbus_detail {

enum class Family : uint8_t { kDamiao, kFeetech, kVirtual, kOther };
const char* FamilyName(Family family);  // damiao, feetech, virtual or other

// A motor as an observer sees it: its family, and its bus (CAN interface or serial port, empty
// for other kinds).
struct Observed {
    CtrlMotorInterface* motor = nullptr;
    Family family = Family::kOther;
    damiaoMotor* joint = nullptr;   // set for the Damiao family
    feetechMotor* servo = nullptr;  // set for the Feetech family
    VirtualMotor* virt = nullptr;   // set for the virtual family
    std::string bus;
};
Observed Observe(CtrlMotorInterface* motor);

// Plain data: position, target and age in rad and seconds, velocity rad/s, torque N·m.
struct Reading {
    double target, position, velocity, torque, age;
    int temperature;
    int code;  // 0, or the state code getEnableStatus gives (a fault's code, 5004 offline)
    bool enabled, hasTarget, hasAge;
};

// Reads one motor. A VirtualMotor is read from its fields (its getter advances it); a Damiao
// motor's torque and fault are peeked (no unwrap memory touched, no log line). Any thread but
// for a VirtualMotor, which only the thread that drives it may read.
void Read(const Observed& m, Reading& r);
// Zeroes position, velocity and torque that are not finite and drops a target or age that is
// not, for formats that have no NaN or infinity.
void MakeFinite(Reading& r);

}  // namespace jointbus_detail
