#pragma once

// One look at a motor for observers (the trace recorder, the live view, the Python module):
// what it is, and what it reports now, read through getters that never wait on a bus and
// change nothing of what the motor does.
//
// Each motor family describes itself to observers in its own source file (the family's
// observer, below), so an observer names no family and casts to none.

#include <string>

#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/export.h"

namespace jointbus {

// Plain data: position, target and age in rad and seconds, velocity rad/s, torque N·m.
struct MotorReading {
    double target = 0, position = 0, velocity = 0, torque = 0, age = 0;
    int temperature = 0;
    int code = 0;  // 0, or the state code getEnableStatus gives (a fault's code, 5004 offline)
    bool enabled = false, hasTarget = false, hasAge = false;
};

// A family's side of being observed.
struct MotorFamilyObserver {
    const char* name;  // "damiao", "feetech", "virtual"
    // Whether `motor` is of this family; if so, `bus` is set to its CAN interface or serial
    // port ("" for a family without a bus).
    bool (*claims)(CtrlMotorInterface& motor, std::string& bus);
    // Fills every field of `r` from a motor of this family.
    void (*read)(CtrlMotorInterface& motor, MotorReading& r);
};

// The usual `claims`: a motor of class Device, whose bus is its member Bus.
template <class Device, std::string Device::*Bus>
bool ClaimsAs(CtrlMotorInterface& motor, std::string& bus) {
    auto* device = dynamic_cast<Device*>(&motor);
    if (device != nullptr) bus = device->*Bus;
    return device != nullptr;
}

// Adds a family; each family's source file does so once, when the library loads. Returns true
// so that it can initialise a static; false once 16 families are known (the motor is then
// observed through its getters, as a kind no family claims).
JOINTBUS_API bool RegisterMotorFamilyObserver(const MotorFamilyObserver& family);

// A motor as an observer sees it.
struct ObservedMotor {
    CtrlMotorInterface* motor = nullptr;
    const MotorFamilyObserver* family = nullptr;  // null: a kind no family claims
    std::string bus;                              // "" where the family has none
    const char* FamilyName() const { return family != nullptr ? family->name : "other"; }
};
JOINTBUS_API ObservedMotor ObserveMotor(CtrlMotorInterface* motor);

// Reads one motor. A VirtualMotor is read from its fields (its getter advances it); a Damiao
// motor's torque and fault are peeked (no unwrap memory touched, no log line). Any thread but
// for a VirtualMotor, which only the thread that drives it may read.
JOINTBUS_API void ReadMotor(const ObservedMotor& m, MotorReading& r);
// Reads a motor through its getters alone, for a kind no family claims and for families that
// have nothing to peek.
JOINTBUS_API void ReadThroughGetters(CtrlMotorInterface& motor, MotorReading& r);
// Zeroes position, velocity and torque that are not finite and drops a target or age that is
// not, for formats that have no NaN or infinity.
JOINTBUS_API void MakeFinite(MotorReading& r);

}  // namespace jointbus
