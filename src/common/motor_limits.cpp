#include "common/motor_limits.h"

#include <fmt/format.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include "DaMiao/damiao_impedance.h"
#include "common/command_watchdog.h"
#include "runtime/motor_runtime.h"
#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/Feetech/FeetechMotor.h"
#include "jointbus/common/logger.h"
#include "jointbus/common/motor_reading.h"
#include "jointbus/common/virtual_motor.h"

namespace jointbus {

namespace {

using jointbus_detail::LimitsState;
using jointbus_detail::MotorRuntime;
constexpr int kPosition = LimitsState::kPosition, kVelocity = LimitsState::kVelocity,
              kTorque = LimitsState::kTorque, kStep = LimitsState::kStep,
              kKinds = LimitsState::kKinds;

// Set once any motor gets limits: until then a command costs this one load.
std::atomic<bool> anyLimits{false};

bool IsNone(const MotorLimits& l) {
    return l.positionMin == -MotorLimits::kNone && l.positionMax == MotorLimits::kNone &&
           l.velocity == MotorLimits::kNone && l.torque == MotorLimits::kNone &&
           l.step == MotorLimits::kNone;
}

// Clamps `value` to [low, high]; true when it had to.
bool Clamp(double& value, double low, double high) {
    if (value < low) {
        value = low;
        return true;
    }
    if (value > high) {
        value = high;
        return true;
    }
    return false;
}

}  // namespace

std::string CheckMotorLimits(const MotorLimits& l) {
    for (double v : {l.positionMin, l.positionMax, l.velocity, l.torque, l.step})
        if (std::isnan(v)) return "a limit is NaN";
    if (l.positionMin > l.positionMax)
        return fmt::format("position: the minimum {:g} is above the maximum {:g}", l.positionMin,
                           l.positionMax);
    if (l.positionMin == MotorLimits::kNone || l.positionMax == -MotorLimits::kNone)
        return "position: the range is empty";
    if (!(l.velocity > 0)) return fmt::format("velocity must be above 0, not {:g}", l.velocity);
    if (!(l.torque > 0)) return fmt::format("torque must be above 0, not {:g}", l.torque);
    if (!(l.step > 0)) return fmt::format("step must be above 0, not {:g}", l.step);
    return "";
}

int SetMotorLimits(CtrlMotorInterface* motor, const MotorLimits& limits) {
    std::string wrong = motor == nullptr ? "no motor given" : CheckMotorLimits(limits);
    if (wrong.empty() && !IsNone(limits)) wrong = jointbus_detail::SettingsRefusal(motor);
    if (!wrong.empty()) {
        LOG_ERROR("motor limits refused: {}\r\n", wrong);
        return -1;
    }
    jointbus_detail::RuntimeLock lock(motor);
    if (IsNone(limits)) {
        if (MotorRuntime* rt = lock.Find()) rt->limits = {};
        return 0;
    }
    lock.Make().limits = LimitsState{limits};
    anyLimits.store(true, std::memory_order_relaxed);
    return 0;
}

MotorLimits GetMotorLimits(const CtrlMotorInterface* motor) {
    jointbus_detail::RuntimeLock lock(motor);
    const MotorRuntime* rt = lock.Find();
    return rt != nullptr ? rt->limits.limits : MotorLimits{};
}

unsigned long long MotorLimitHits(const CtrlMotorInterface* motor) {
    jointbus_detail::RuntimeLock lock(motor);
    const MotorRuntime* rt = lock.Find();
    return rt != nullptr ? rt->limits.hits : 0;
}

}  // namespace jointbus

namespace jointbus_detail {

using jointbus::Clamp;
using jointbus::MotorLimits;

void LimitCommand(CtrlMotorInterface& motor, double* position, double* velocity, double* torque,
                  const double* at) {
    NoteCommand(motor);  // every command comes this way: the watchdog counts from here
    if (!jointbus::anyLimits.load(std::memory_order_relaxed)) return;
    // Read before the lock: a getter takes the motor's own lock.
    double present = 0;
    if (at != nullptr)
        present = *at;
    else if (position != nullptr)
        motor.getMotorPosition(present);
    std::vector<std::string> said;
    {
        jointbus_detail::RuntimeLock lock(&motor);
        MotorRuntime* rt = lock.Find();
        if (rt == nullptr || jointbus::IsNone(rt->limits.limits)) return;
        LimitsState& g = rt->limits;
        const MotorLimits& l = g.limits;
        bool clamped[jointbus::kKinds] = {};
        bool checked[jointbus::kKinds] = {};
        std::string text[jointbus::kKinds];
        if (position != nullptr) {
            const double asked = *position;
            checked[jointbus::kPosition] = checked[jointbus::kStep] = true;
            if (Clamp(*position, l.positionMin, l.positionMax)) {
                clamped[jointbus::kPosition] = true;
                text[jointbus::kPosition] =
                    fmt::format("target {:.3f} rad is beyond the position limit [{:g}, {:g}]: "
                                "clamped to {:.3f}",
                                asked, l.positionMin, l.positionMax, *position);
            }
            // From the last target let through, except for a target within a step of where
            // the motor stands: a hold (the caller's, the watchdog's, the cycle's, the stop
            // sequence's) is never moved towards an old target.
            const double from =
                g.hasTarget && std::fabs(*position - present) > l.step ? g.lastTarget : present;
            if (Clamp(*position, from - l.step, from + l.step)) {
                clamped[jointbus::kStep] = true;
                text[jointbus::kStep] = fmt::format(
                    "target {:.3f} rad is more than the step limit {:g} rad from {:.3f}: "
                    "approached at that step",
                    asked, l.step, from);
            }
            g.hasTarget = true;
            g.lastTarget = *position;
        }
        // A speed or a torque: clamped to the same limit either way.
        auto symmetric = [&](double* value, double limit, int kind, const char* what,
                             const char* unit, const char* name) {
            if (value == nullptr) return;
            checked[kind] = true;
            const double asked = *value;
            if (!Clamp(*value, -limit, limit)) return;
            clamped[kind] = true;
            text[kind] = fmt::format("{} {:.3f} {} is beyond the {} limit {:g}: clamped", what,
                                     asked, unit, name, limit);
        };
        symmetric(velocity, l.velocity, jointbus::kVelocity, "speed", "rad/s", "velocity");
        symmetric(torque, l.torque, jointbus::kTorque, "torque", "N·m", "torque");
        bool any = false;
        for (int k = 0; k < jointbus::kKinds; ++k) {
            any = any || clamped[k];
            if (clamped[k] && !g.episode[k]) said.push_back(text[k]);
            if (checked[k]) g.episode[k] = clamped[k];
        }
        if (any) ++g.hits;
    }
    if (said.empty()) return;
    const jointbus::ObservedMotor seen = jointbus::ObserveMotor(&motor);
    for (const auto& text : said)
        LOG_WARN("{} motor {} on {}: {}\r\n", seen.FamilyName(), motor.motor_id, seen.bus, text);
}

void RestartStep(const CtrlMotorInterface& motor) {
    if (!jointbus::anyLimits.load(std::memory_order_relaxed)) return;
    jointbus_detail::RuntimeLock lock(&motor);
    if (MotorRuntime* rt = lock.Find()) rt->limits.hasTarget = false;
}

double RampLimit(const CtrlMotorInterface& motor) {
    if (!jointbus::anyLimits.load(std::memory_order_relaxed)) return MotorLimits::kNone;
    jointbus_detail::RuntimeLock lock(&motor);
    const MotorRuntime* rt = lock.Find();
    return rt != nullptr ? rt->limits.limits.velocity : MotorLimits::kNone;
}

std::string SettingsRefusal(const CtrlMotorInterface* motor) {
    if (motor == nullptr) return "no motor given";
    if (dynamic_cast<const damiaoMotor*>(motor) != nullptr ||
        dynamic_cast<const feetechMotor*>(motor) != nullptr ||
        dynamic_cast<const VirtualMotor*>(motor) != nullptr)
        return "";
    return "motor " + std::to_string(motor->motor_id) +
           " is of a kind the library does not drive (not a Damiao motor, a Feetech servo or a "
           "VirtualMotor): it would never apply the setting";
}

void ForgetMotor(const CtrlMotorInterface* motor) {
    ForgetRuntime(motor);
}

}  // namespace jointbus_detail
