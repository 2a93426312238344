#pragma once

// "Wait until near": polls a reading until it is within a tolerance of a target, and on
// failure says what it last read. Readers for the motor interface's getters.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "jointbus/common/ctrl_motor_interface.h"
#include "wait.h"

namespace testsupport {

template <typename Read>
::testing::AssertionResult WaitNear(Read read, double target, double tolerance,
                                    std::chrono::milliseconds limit) {
    double last = NAN;
    if (WaitFor(
            [&] {
                last = read();
                return std::fabs(last - target) < tolerance;
            },
            limit))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "last read " << last << ", wanted " << target << " within " << tolerance;
}

inline auto PositionOf(CtrlMotorInterface& m) {
    return [&m] {
        double p = NAN;
        m.getMotorPosition(p);
        return p;
    };
}

inline auto VelocityOf(CtrlMotorInterface& m) {
    return [&m] {
        double v = NAN;
        m.getVelocity(v);
        return v;
    };
}

// Enabled and without fault.
inline bool IsEnabled(CtrlMotorInterface& m) {
    bool on = false;
    return m.getEnableStatus(on) == 0 && on;
}

// Answering (getEnableStatus gives no code), enabled or not.
inline bool IsOnline(CtrlMotorInterface& m) {
    bool on = false;
    return m.getEnableStatus(on) == 0;
}

}  // namespace testsupport
