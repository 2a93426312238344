#include "DaMiao/damiao_impedance.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <string>

#include "common/motor_limits.h"
#include "common/steady_ns.h"
#include "runtime/motor_runtime.h"
#include "jointbus/DaMiao/DaMiaoMotor.h"
#include "jointbus/DaMiao/damiao_codec.h"
#include "jointbus/common/impedance.h"
#include "jointbus/common/logger.h"
#include "jointbus/common/motor_limits.h"
#include "jointbus/common/result_codes.h"

namespace jointbus {

namespace {

using jointbus_detail::GainsState;
using jointbus_detail::MotorRuntime;

std::atomic<bool> anyGains{false};  // set once any motor has commanded gains or an exit policy

// The gains of the motor whose runtime `lock` holds, or nullptr where it has none.
GainsState* FindGains(jointbus_detail::RuntimeLock& lock) {
    MotorRuntime* rt = lock.Find();
    return rt != nullptr ? &rt->gains : nullptr;
}
// The gains of the motor whose runtime `lock` holds, made on first use.
GainsState& GainsOf(jointbus_detail::RuntimeLock& lock) {
    return lock.Make().gains;
}

// Set while SetImpedance goes through the plain setter: its gains stay.
thread_local bool ownCall = false;

damiaoMotor* MitMotor(CtrlMotorInterface* motor) {
    auto* m = dynamic_cast<damiaoMotor*>(motor);
    return m != nullptr && m->mode == Damiao::kMit ? m : nullptr;
}

std::string Name(const CtrlMotorInterface* motor) {
    return motor == nullptr ? std::string("no motor") : "motor " + std::to_string(motor->motor_id);
}

}  // namespace

std::string CheckImpedance(const CtrlMotorInterface* motor, const ImpedanceCommand& c) {
    const damiaoMotor* m = MitMotor(const_cast<CtrlMotorInterface*>(motor));
    if (m == nullptr) return Name(motor) + " is not a Damiao motor in MIT mode";
    if (c.kp < m->KP_MIN || c.kp > m->KP_MAX || c.kd < m->KD_MIN || c.kd > m->KD_MAX)
        return fmt::format("Damiao motor {}: kp {:g} and kd {:g} must lie in [{:g}, {:g}] and "
                           "[{:g}, {:g}]",
                           m->motor_id, c.kp, c.kd, m->KP_MIN, m->KP_MAX, m->KD_MIN, m->KD_MAX);
    return "";
}

int SetImpedance(CtrlMotorInterface* motor, const ImpedanceCommand& c) {
    const std::string wrong = CheckImpedance(motor, c);  // a NaN gain passes it
    damiaoMotor* m = MitMotor(motor);
    // An infinite value too: the codec would saturate it to the model's full range.
    for (double v : {c.position, c.velocity, c.kp, c.kd, c.torque})
        if (m != nullptr && !std::isfinite(v)) return kDamiaoNotANumber;
    if (!wrong.empty()) {
        LOG_ERROR("impedance command refused: {}\r\n", wrong);
        return -1;
    }
    {
        jointbus_detail::RuntimeLock lock(motor);
        GainsState& g = GainsOf(lock);
        g.commanded = true;
        g.kp = float(c.kp);
        g.kd = float(c.kd);
        anyGains.store(true, std::memory_order_relaxed);
    }
    ownCall = true;
    const int result = m->setMotorPosition(c.position, c.velocity, c.torque);
    ownCall = false;
    return result;
}

int SetTorqueCommand(CtrlMotorInterface* motor, double torque) {
    double present = 0;
    if (motor != nullptr) motor->getMotorPosition(present);
    // With kp 0 the position does not act: the present one keeps the step limit quiet.
    ImpedanceCommand c;
    c.position = present;
    c.torque = torque;
    return SetImpedance(motor, c);
}

std::string CheckExitPolicy(const CtrlMotorInterface* motor, const ExitPolicy& p) {
    if (motor == nullptr) return "no motor given";
    if (p.onExit != OnExit::kHoldThenDisable && p.onExit != OnExit::kDampThenDisable)
        return "unknown exit policy";
    if (p.dampMs < 1 || p.dampMs > ExitPolicy::kMaxDampMs)
        return fmt::format("damp_ms must be a whole number from 1 to {}, not {}",
                           ExitPolicy::kMaxDampMs, p.dampMs);
    if (std::isnan(p.dampKd)) return "damp_kd is NaN";
    const auto* m = dynamic_cast<const damiaoMotor*>(motor);
    if (m != nullptr && p.dampKd > m->KD_MAX)
        return fmt::format("damp_kd {:g} is beyond the model's kd range [0, {:g}]", p.dampKd,
                           m->KD_MAX);
    return "";
}

int SetExitPolicy(CtrlMotorInterface* motor, const ExitPolicy& p) {
    const std::string wrong = CheckExitPolicy(motor, p);
    if (!wrong.empty()) {
        LOG_ERROR("exit policy refused: {}\r\n", wrong);
        return -1;
    }
    jointbus_detail::RuntimeLock lock(motor);
    GainsOf(lock).exit = p;
    anyGains.store(true, std::memory_order_relaxed);
    return 0;
}

ExitPolicy GetExitPolicy(const CtrlMotorInterface* motor) {
    if (!anyGains.load(std::memory_order_relaxed)) return ExitPolicy{};
    jointbus_detail::RuntimeLock lock(motor);
    const GainsState* g = FindGains(lock);
    return g != nullptr ? g->exit : ExitPolicy{};
}

int StartExitDamping(CtrlMotorInterface* motor) {
    if (motor == nullptr) return 0;
    const ExitPolicy p = GetExitPolicy(motor);
    if (p.onExit != OnExit::kDampThenDisable) return 0;
    return jointbus_detail::StartDamping(*motor, SteadyNowNs()) ? p.dampMs : 0;
}

}  // namespace jointbus

namespace jointbus_detail {

using jointbus::anyGains;
using jointbus::FindGains;
using jointbus::GainsOf;

MitGains TickGains(const damiaoMotor& m, float kp, float kd) {
    MitGains out{kp, kd, false};
    if (!anyGains.load(std::memory_order_relaxed)) return out;
    jointbus_detail::RuntimeLock lock(&m);
    const GainsState* found = FindGains(lock);
    if (found == nullptr) return out;
    const GainsState& g = *found;
    if (g.dampUntilNs != 0) return MitGains{0, g.dampKd, true};
    if (g.commanded) out = MitGains{g.kp, g.kd, false};
    return out;
}

void WatchDamping(damiaoMotor& m, int64_t nowNs) {
    if (!anyGains.load(std::memory_order_relaxed)) return;
    int ms = 0;
    {
        jointbus_detail::RuntimeLock lock(&m);
        const GainsState* g = FindGains(lock);
        if (g == nullptr || g->dampUntilNs == 0 || nowNs < g->dampUntilNs) return;
        ms = g->exit.dampMs;
    }
    LOG_INFO("Damiao motor {} on {}: damped for {} ms, now disabled\r\n", m.motor_id, m.dev_name,
             ms);
    m.setEnableStatus(false);  // ends the damping
}

bool CanDamp(const CtrlMotorInterface& m) {
    return jointbus::MitMotor(const_cast<CtrlMotorInterface*>(&m)) != nullptr;
}

bool StartDamping(CtrlMotorInterface& motor, int64_t nowNs) {
    damiaoMotor* m = jointbus::MitMotor(&motor);
    if (m == nullptr || !m->reportedEnabled.load(std::memory_order_relaxed) ||
        !m->enableReq.load(std::memory_order_relaxed))
        return false;
    {
        jointbus_detail::RuntimeLock lock(&motor);
        GainsState& g = GainsOf(lock);
        g.dampUntilNs = nowNs + int64_t(g.exit.dampMs) * 1000000;
        g.dampKd = float(g.exit.dampKd < 0 ? m->kd : g.exit.dampKd);
        anyGains.store(true, std::memory_order_relaxed);
    }
    jointbus_detail::RestartStep(motor);
    // Where it stands, so that the ramp and the window stay quiet; kp 0 makes it not act.
    m->targetPos.store(m->fbPosition.load(std::memory_order_relaxed), std::memory_order_relaxed);
    m->targetVel.store(0, std::memory_order_relaxed);
    m->targetTorque.store(0, std::memory_order_relaxed);
    m->cmdPending.store(true, std::memory_order_relaxed);
    return true;
}

void HoldWhereEnabled(damiaoMotor& m) {
    jointbus_detail::RestartStep(m);
    const float here = m.fbPosition.load(std::memory_order_relaxed);
    // The ramp starts here too: the position it was seeded with when the enable frame went out
    // may be older than this answer.
    m.lastCmdPos = here;
    m.inWindow = true;
    if (!m.cmdPending.load(std::memory_order_relaxed)) {
        m.targetPos.store(here, std::memory_order_relaxed);
        m.targetVel.store(0, std::memory_order_relaxed);
        m.targetTorque.store(0, std::memory_order_relaxed);
        m.cmdPending.store(true, std::memory_order_relaxed);
        return;
    }
    const double step = jointbus::GetMotorLimits(&m).step;
    if (step == jointbus::MotorLimits::kNone) return;
    const float target = m.targetPos.load(std::memory_order_relaxed);
    m.targetPos.store(std::clamp(target, here - float(step), here + float(step)),
                      std::memory_order_relaxed);
}

void OwnGains(const CtrlMotorInterface& m, bool endDamping) {
    if (!anyGains.load(std::memory_order_relaxed) || jointbus::ownCall) return;
    jointbus_detail::RuntimeLock lock(&m);
    GainsState* g = FindGains(lock);
    if (g == nullptr) return;
    g->commanded = false;
    if (endDamping) g->dampUntilNs = 0;
}

}  // namespace jointbus_detail
