#pragma once

// The safe stop of a set of motors, as the tools and the Python module end a run. Header-only.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/impedance.h"
#include "jointbus/common/logger.h"

// Holds each motor where it stands, disables it and waits (at most 3 s per motor) until it
// says so; logs each motor that still reports enabled and returns how many did. Blocks for at
// least 0.2 s per motor. Motors whose exit policy is to damp (jointbus::SetExitPolicy) damp
// together first, for the longest of their damping times, and are then disabled without a hold.
inline int HoldAndDisable(const std::vector<std::shared_ptr<CtrlMotorInterface>>& motors) {
    constexpr int kDisableWaitMs = 3000;   // per motor
    constexpr int kDisableSettleMs = 200;  // before a motor's report is trusted to be fresh
    std::vector<bool> damped(motors.size(), false);
    int dampMs = 0;
    for (size_t i = 0; i < motors.size(); ++i) {
        const int ms = jointbus::StartExitDamping(motors[i].get());
        damped[i] = ms > 0;
        dampMs = std::max(dampMs, ms);
    }
    if (dampMs > 0) {
        LOG_INFO("damping for {} ms before the motors are disabled\r\n", dampMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(dampMs));
    }
    int stillEnabled = 0;
    for (size_t i = 0; i < motors.size(); ++i) {
        const auto& motor = motors[i];
        bool enabled = true;
        double p = 0;
        if (!damped[i]) {
            motor->getMotorPosition(p);
            motor->setMotorPosition(p);
        }
        motor->setEnableStatus(false);
        // A motor reports what its last feedback said: until the disable request has been sent
        // and answered, "disabled" may be the state from before it was enabled, and trusting
        // it would leave the motor enabled behind the caller.
        std::this_thread::sleep_for(std::chrono::milliseconds(kDisableSettleMs));
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kDisableWaitMs);
        while (motor->getEnableStatus(enabled) == 0 && enabled) {
            if (std::chrono::steady_clock::now() >= deadline) {
                LOG_ERROR("motor {} still reports enabled after {} s, going on\r\n",
                          motor->motor_id, kDisableWaitMs / 1000);
                ++stillEnabled;
                break;
            }
            usleep(100000);
        }
    }
    return stillEnabled;
}
