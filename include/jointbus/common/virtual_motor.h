#pragma once

#include "jointbus/common/ctrl_motor_interface.h"

// A motor without hardware for tests and dry runs. It has no clock: every position read
// advances the position by one step of time_step at the last commanded velocity. Not
// thread-safe: one thread uses a virtual motor. No operation fails. Like the other kinds it
// honours its limits, and a position read runs its command watchdog and fault watch (a latched
// fault's code comes from getEnableStatus); only these log.
class JOINTBUS_API VirtualMotor : public CtrlMotorInterface {
public:
    VirtualMotor();
    VirtualMotor(unsigned int id, bool inverse);

    int init() override;
    int setMotorPosition(double pos) override;
    int setMotorPosition(double pos, double speed) override;
    int setMotorPosition(double pos, double speed, double third) override;
    int getMotorPosition(double& pos) override;
    int setEnableStatus(bool enable) override;
    int getEnableStatus(bool& enabled) override;
    int setHome(unsigned int limit) override;
    int getTorque(double& torque) override;
    int getVelocity(double& velocity) override;
    int setVelocity(double velocity) override;
    int getMotorTemperature(int& temperature) override;

    double position = 0.0;
    bool enabled = false;
    double velocity = 0.0;
    double time_step = 0.005;
};
