#include "common/command_watchdog.h"

#include <fmt/format.h>

#include <atomic>
#include <mutex>
#include <string>

#include "DaMiao/damiao_impedance.h"
#include "common/motor_limits.h"
#include "common/steady_ns.h"
#include "runtime/motor_runtime.h"
#include "jointbus/common/impedance.h"
#include "jointbus/common/logger.h"
#include "jointbus/common/motor_limits.h"
#include "jointbus/common/motor_reading.h"

namespace jointbus {

namespace {

using jointbus_detail::MotorRuntime;
using jointbus_detail::RuntimeLock;
using jointbus_detail::WatchState;

std::atomic<bool> anyWatchdog{false};  // set once any motor gets a watchdog or a fault watch

// The watch of the motor whose runtime `lock` holds, or nullptr where it has nothing to watch.
WatchState* FindWatch(RuntimeLock& lock) {
    MotorRuntime* rt = lock.Find();
    return rt != nullptr && !rt->watch.Empty() ? &rt->watch : nullptr;
}
// The watch of the motor whose runtime `lock` holds, made on first use.
WatchState& WatchOf(RuntimeLock& lock) {
    return lock.Make().watch;
}

// Set while the watchdog's own hold goes through the setter: that is not a command.
thread_local bool applying = false;

bool PolicyKnown(OnCommandTimeout p) {
    return p == OnCommandTimeout::kHold || p == OnCommandTimeout::kDisable ||
           p == OnCommandTimeout::kDamp;
}

// What is wrong with `policy` for `motor`, or "".
std::string PolicyError(const CtrlMotorInterface& motor, OnCommandTimeout policy) {
    if (!PolicyKnown(policy)) return "unknown policy";
    if (policy == OnCommandTimeout::kDamp && !jointbus_detail::CanDamp(motor))
        return "motor " + std::to_string(motor.motor_id) +
               " cannot damp: only a Damiao motor in MIT mode can";
    return "";
}

// A watch with nothing left in it starts afresh, as if it had never been set. With its runtime
// locked.
void ResetIfEmpty(WatchState& w) {
    if (w.Empty()) w = WatchState{};
}

// What a policy does, as the WARN or ERROR line ends.
std::string PolicyText(const CtrlMotorInterface& motor, OnCommandTimeout policy,
                       const char* until) {
    switch (policy) {
        case OnCommandTimeout::kHold:
            return std::string("it holds where it stands ") + until;
        case OnCommandTimeout::kDamp:
            return fmt::format("it is damped for {} ms, then disabled {}",
                               GetExitPolicy(&motor).dampMs, until);
        default:
            return std::string("it is disabled ") + until;
    }
}

void ApplyPolicy(CtrlMotorInterface& motor, OnCommandTimeout policy, int64_t nowNs) {
    if (policy == OnCommandTimeout::kDamp && jointbus_detail::StartDamping(motor, nowNs)) return;
    if (policy == OnCommandTimeout::kHold) {
        double present = 0;
        if (motor.getMotorPosition(present) != 0) return;
        applying = true;
        motor.setMotorPosition(present);
        applying = false;
    } else {
        motor.setEnableStatus(false);
    }
}

}  // namespace

int SetCommandWatchdog(CtrlMotorInterface* motor, const CommandWatchdog& w) {
    std::string wrong =
        motor == nullptr ? std::string("no motor given")
        : w.timeoutMs < 0 || w.timeoutMs > CommandWatchdog::kMaxTimeoutMs
            ? "timeout must be from 0 to " + std::to_string(CommandWatchdog::kMaxTimeoutMs) +
                  " ms, not " + std::to_string(w.timeoutMs)
            : PolicyError(*motor, w.policy);
    if (wrong.empty() && w.timeoutMs != 0) wrong = jointbus_detail::SettingsRefusal(motor);
    if (!wrong.empty()) {
        LOG_ERROR("command watchdog refused: {}\r\n", wrong);
        return -1;
    }
    jointbus_detail::RuntimeLock lock(motor);
    WatchState& entry = WatchOf(lock);
    entry.settings = w;
    entry.watch = jointbus_detail::CommandWatch{};
    entry.watch.timeoutNs = int64_t(w.timeoutMs) * 1000000;
    entry.timeouts = 0;
    ResetIfEmpty(entry);
    anyWatchdog.store(true, std::memory_order_relaxed);
    return 0;
}

CommandWatchdog GetCommandWatchdog(const CtrlMotorInterface* motor) {
    jointbus_detail::RuntimeLock lock(motor);
    const WatchState* w = FindWatch(lock);
    return w != nullptr ? w->settings : CommandWatchdog{};
}

unsigned long long CommandTimeouts(const CtrlMotorInterface* motor) {
    jointbus_detail::RuntimeLock lock(motor);
    const WatchState* w = FindWatch(lock);
    return w != nullptr ? w->timeouts : 0;
}

std::string CheckFaultWatch(const CtrlMotorInterface* motor, const FaultWatch& f) {
    std::string wrong;
    if (motor == nullptr)
        wrong = "no motor given";
    else if (f.stallMs < 0 || f.stallMs > CommandWatchdog::kMaxTimeoutMs)
        wrong = fmt::format("stall_ms must be from 0 to {}, not {}", CommandWatchdog::kMaxTimeoutMs,
                            f.stallMs);
    else if (f.maxTemperature < 0 || f.maxTemperature > 200)
        wrong = fmt::format("max_temperature must be from 0 to 200 °C, not {}", f.maxTemperature);
    else if (f.stallMs > 0 && GetMotorLimits(motor).torque == MotorLimits::kNone)
        wrong = "stall_ms needs a torque limit (limits: {torque: ...})";
    else
        wrong = PolicyError(*motor, f.onFault);
    if (wrong.empty() && (f.stallMs != 0 || f.maxTemperature != 0))
        wrong = jointbus_detail::SettingsRefusal(motor);
    return wrong;
}

int SetFaultWatch(CtrlMotorInterface* motor, const FaultWatch& f) {
    const std::string wrong = CheckFaultWatch(motor, f);
    if (!wrong.empty()) {
        LOG_ERROR("fault watch refused: {}\r\n", wrong);
        return -1;
    }
    jointbus_detail::RuntimeLock lock(motor);
    WatchState& entry = WatchOf(lock);
    entry.faults = f;
    const int latched = entry.latch.latched;
    entry.latch = jointbus_detail::FaultLatch{};
    entry.latch.latched = latched;  // a latched fault stays until it is cleared
    entry.latch.stallNs = int64_t(f.stallMs) * 1000000;
    entry.latch.maxTemperature = f.maxTemperature;
    ResetIfEmpty(entry);
    anyWatchdog.store(true, std::memory_order_relaxed);
    return 0;
}

FaultWatch GetFaultWatch(const CtrlMotorInterface* motor) {
    jointbus_detail::RuntimeLock lock(motor);
    const WatchState* w = FindWatch(lock);
    return w != nullptr ? w->faults : FaultWatch{};
}

int SetBumplessEnable(CtrlMotorInterface* motor, bool on) {
    const std::string wrong =
        on || motor == nullptr ? jointbus_detail::SettingsRefusal(motor) : std::string();
    if (!wrong.empty()) {
        LOG_ERROR("bumpless enable refused: {}\r\n", wrong);
        return -1;
    }
    jointbus_detail::RuntimeLock lock(motor);
    WatchState& entry = WatchOf(lock);
    entry.bumpless = on;
    entry.sawEnabled = entry.seeded = false;
    ResetIfEmpty(entry);
    anyWatchdog.store(true, std::memory_order_relaxed);
    return 0;
}

bool GetBumplessEnable(const CtrlMotorInterface* motor) {
    jointbus_detail::RuntimeLock lock(motor);
    const WatchState* w = FindWatch(lock);
    return w != nullptr && w->bumpless;
}

int LatchedFault(const CtrlMotorInterface* motor) {
    return motor != nullptr ? jointbus_detail::LatchedFaultOf(*motor) : 0;
}

void ClearLatchedFault(const CtrlMotorInterface* motor) {
    if (!anyWatchdog.load(std::memory_order_relaxed)) return;
    jointbus_detail::RuntimeLock lock(motor);
    WatchState* w = FindWatch(lock);
    if (w == nullptr || w->latch.latched == 0) return;
    w->latch.latched = 0;
    w->latch.atLimit = false;
    LOG_INFO("motor {}: latched fault cleared\r\n", motor->motor_id);
    ResetIfEmpty(*w);
}

}  // namespace jointbus

namespace jointbus_detail {

void NoteCommand(const CtrlMotorInterface& motor) {
    if (!jointbus::anyWatchdog.load(std::memory_order_relaxed) || jointbus::applying) return;
    const int64_t now = SteadyNowNs();
    jointbus_detail::RuntimeLock lock(&motor);
    if (WatchState* w = jointbus::FindWatch(lock)) w->watch.Note(now);
}

void WatchCommands(CtrlMotorInterface& motor, int64_t nowNs) {
    if (!jointbus::anyWatchdog.load(std::memory_order_relaxed)) return;
    {
        jointbus_detail::RuntimeLock lock(&motor);
        if (jointbus::FindWatch(lock) == nullptr) return;
    }
    // Read outside the lock: the getters take the motor's own lock.
    const jointbus::ObservedMotor seen = jointbus::ObserveMotor(&motor);
    jointbus::MotorReading r;
    jointbus::ReadMotor(seen, r);
    const bool online = r.code != jointbus::kOffline;
    const bool enabled = r.code == 0 && r.enabled;
    const double torqueLimit = jointbus::GetMotorLimits(&motor).torque;
    jointbus::CommandWatchdog settings;
    jointbus::FaultWatch faults;
    bool timedOut = false;
    int fault = 0;
    {
        jointbus_detail::RuntimeLock lock(&motor);
        WatchState* found = jointbus::FindWatch(lock);
        if (found == nullptr) return;
        WatchState& w = *found;
        if (online) {
            w.latch.torqueLimit = torqueLimit;
            fault = w.latch.Check(r.torque, r.temperature, nowNs);
        }
        timedOut = w.settings.timeoutMs != 0 && w.watch.Check(enabled && fault == 0, nowNs);
        if (timedOut) ++w.timeouts;
        settings = w.settings;
        faults = w.faults;
    }
    if (fault != 0) {
        const std::string what =
            fault == jointbus::kStallLatched
                ? fmt::format("stalled, torque {:.2f} N·m at its {:g} N·m limit for {} ms",
                              r.torque, torqueLimit, faults.stallMs)
                : fmt::format("temperature {} °C, at or above {} °C", r.temperature,
                              faults.maxTemperature);
        LOG_ERROR("latched fault {}: {} motor {} on {}: {}, {}\r\n", fault, seen.FamilyName(),
                  motor.motor_id, seen.bus, what,
                  jointbus::PolicyText(motor, faults.onFault, "until the fault is cleared"));
        if (enabled) jointbus::ApplyPolicy(motor, faults.onFault, nowNs);
        return;
    }
    if (!timedOut) return;
    LOG_WARN("command watchdog: {} motor {} on {}: no command for {} ms, {}\r\n",
             seen.FamilyName(), motor.motor_id, seen.bus, settings.timeoutMs,
             jointbus::PolicyText(motor, settings.policy,
                                  settings.policy == jointbus::OnCommandTimeout::kHold
                                      ? "until the next command"
                                      : "until it is enabled again"));
    jointbus::ApplyPolicy(motor, settings.policy, nowNs);
}

bool EnabledAnew(const CtrlMotorInterface& motor, bool enabled) {
    if (!jointbus::anyWatchdog.load(std::memory_order_relaxed)) return false;
    jointbus_detail::RuntimeLock lock(&motor);
    WatchState* w = jointbus::FindWatch(lock);
    if (w == nullptr || !w->bumpless) return false;
    const bool anew = enabled && !w->sawEnabled;
    w->sawEnabled = enabled;
    return anew;
}

bool SeedGoalFirst(const CtrlMotorInterface& motor, bool enabling) {
    if (!jointbus::anyWatchdog.load(std::memory_order_relaxed)) return false;
    jointbus_detail::RuntimeLock lock(&motor);
    WatchState* w = jointbus::FindWatch(lock);
    if (w == nullptr || !w->bumpless) return false;
    const bool seed = enabling && !w->seeded;
    w->seeded = enabling;
    return seed;
}

int LatchedFaultOf(const CtrlMotorInterface& motor) {
    if (!jointbus::anyWatchdog.load(std::memory_order_relaxed)) return 0;
    jointbus_detail::RuntimeLock lock(&motor);
    const WatchState* w = jointbus::FindWatch(lock);
    return w != nullptr ? w->latch.latched : 0;
}

void LatchFault(const CtrlMotorInterface& motor, int code) {
    jointbus_detail::RuntimeLock lock(&motor);
    jointbus::WatchOf(lock).latch.latched = code;
    jointbus::anyWatchdog.store(true, std::memory_order_relaxed);
}

}  // namespace jointbus_detail
