#pragma once

#include <cstdint>

#include "jointbus/common/export.h"

// The abstract motor. Clients reach the virtual operations by their slot, so their order is
// part of the library's binary interface and must never change. Every operation returns 0 on
// success or a device-defined four-digit code.
class JOINTBUS_API CtrlMotorInterface {
public:
    // Drops whatever the library keeps for the motor (limits, watchdog, gains), so that a later
    // motor at the same address starts with none of it.
    virtual ~CtrlMotorInterface();
    virtual int init() = 0;
    virtual int setMotorPosition(double pos) = 0;
    virtual int setMotorPosition(double pos, double speed) = 0;
    virtual int setMotorPosition(double pos, double speed, double third) = 0;
    virtual int getMotorPosition(double& pos) = 0;
    virtual int setEnableStatus(bool enable) = 0;
    virtual int getEnableStatus(bool& enabled) = 0;
    virtual int setHome(unsigned int limit) = 0;
    virtual int getTorque(double& torque) = 0;
    virtual int getVelocity(double& velocity) = 0;
    virtual int setVelocity(double velocity) = 0;
    virtual int getMotorTemperature(int& temperature) = 0;

    uint32_t motor_id = 0;  // id on the bus: CAN id of a Damiao motor, servo id of a Feetech servo
    bool inverse = false;   // reverse the direction between the caller's values and the motor's
};
