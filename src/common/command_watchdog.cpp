#include "common/command_watchdog.h"

#include <fmt/format.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "DaMiao/damiao_impedance.h"
#include "common/steady_ns.h"
#include "jointbus/common/impedance.h"
#include "jointbus/common/logger.h"
#include "jointbus/common/motor_reading.h"

namespace jointbus {

namespace {

struct Watched {
    CommandWatchdog settings;
    jointbus_detail::CommandWatch watch;
    unsigned long long timeouts = 0;
};

std::atomic<bool> anyWatchdog{false};  // set once any motor gets a watchdog
std::mutex watchMutex;
std::unordered_map<const CtrlMotorInterface*, Watched>& Watches() {
    static auto* const watches = new std::unordered_map<const CtrlMotorInterface*, Watched>;
    return *watches;
}

// Set while the watchdog's own hold goes through the setter: that is not a command.
thread_local bool applying = false;

}  // namespace

int SetCommandWatchdog(CtrlMotorInterface* motor, const CommandWatchdog& w) {
    const bool policyKnown = w.policy == OnCommandTimeout::kHold ||
                             w.policy == OnCommandTimeout::kDisable ||
                             w.policy == OnCommandTimeout::kDamp;
    const bool canDamp = motor != nullptr && jointbus_detail::CanDamp(*motor);
    if (motor == nullptr || w.timeoutMs < 0 || w.timeoutMs > CommandWatchdog::kMaxTimeoutMs ||
        !policyKnown || (w.policy == OnCommandTimeout::kDamp && !canDamp)) {
        LOG_ERROR("command watchdog refused: {}\r\n",
                  motor == nullptr ? std::string("no motor given")
                  : !policyKnown   ? std::string("unknown policy")
                  : w.timeoutMs < 0 || w.timeoutMs > CommandWatchdog::kMaxTimeoutMs
                      ? "timeout must be from 0 to " +
                            std::to_string(CommandWatchdog::kMaxTimeoutMs) + " ms, not " +
                            std::to_string(w.timeoutMs)
                      : "motor " + std::to_string(motor->motor_id) +
                            " cannot damp: only a Damiao motor in MIT mode can");
        return -1;
    }
    std::lock_guard<std::mutex> lock(watchMutex);
    if (w.timeoutMs == 0) {
        Watches().erase(motor);
        return 0;
    }
    Watched& entry = Watches()[motor];
    entry = Watched{w, {}, 0};
    entry.watch.timeoutNs = int64_t(w.timeoutMs) * 1000000;
    anyWatchdog.store(true, std::memory_order_relaxed);
    return 0;
}

CommandWatchdog GetCommandWatchdog(const CtrlMotorInterface* motor) {
    std::lock_guard<std::mutex> lock(watchMutex);
    auto found = Watches().find(motor);
    return found != Watches().end() ? found->second.settings : CommandWatchdog{};
}

unsigned long long CommandTimeouts(const CtrlMotorInterface* motor) {
    std::lock_guard<std::mutex> lock(watchMutex);
    auto found = Watches().find(motor);
    return found != Watches().end() ? found->second.timeouts : 0;
}

}  // namespace jointbus

namespace jointbus_detail {

void NoteCommand(const CtrlMotorInterface& motor) {
    if (!jointbus::anyWatchdog.load(std::memory_order_relaxed) || jointbus::applying) return;
    const int64_t now = SteadyNowNs();
    std::lock_guard<std::mutex> lock(jointbus::watchMutex);
    auto found = jointbus::Watches().find(&motor);
    if (found != jointbus::Watches().end()) found->second.watch.Note(now);
}

void WatchCommands(CtrlMotorInterface& motor, int64_t nowNs) {
    if (!jointbus::anyWatchdog.load(std::memory_order_relaxed)) return;
    // Read before the lock: a getter takes the motor's own lock.
    bool enabled = false;
    if (motor.getEnableStatus(enabled) != 0) enabled = false;
    jointbus::CommandWatchdog settings;
    {
        std::lock_guard<std::mutex> lock(jointbus::watchMutex);
        auto found = jointbus::Watches().find(&motor);
        if (found == jointbus::Watches().end() || !found->second.watch.Check(enabled, nowNs))
            return;
        ++found->second.timeouts;
        settings = found->second.settings;
    }
    const bool hold = settings.policy == jointbus::OnCommandTimeout::kHold;
    const bool damp = settings.policy == jointbus::OnCommandTimeout::kDamp;
    const jointbus::ObservedMotor seen = jointbus::ObserveMotor(&motor);
    LOG_WARN("command watchdog: {} motor {} on {}: no command for {} ms, {}\r\n",
             seen.FamilyName(), motor.motor_id, seen.bus, settings.timeoutMs,
             hold   ? std::string("it holds where it stands until the next command")
             : damp ? fmt::format("it is damped for {} ms, then disabled until it is enabled "
                                  "again",
                                  jointbus::GetExitPolicy(&motor).dampMs)
                    : std::string("it is disabled until it is enabled again"));
    if (damp && StartDamping(motor, nowNs)) return;
    if (hold) {
        double present = 0;
        if (motor.getMotorPosition(present) != 0) return;
        jointbus::applying = true;
        motor.setMotorPosition(present);
        jointbus::applying = false;
    } else {
        motor.setEnableStatus(false);
    }
}

void ForgetCommandWatch(const CtrlMotorInterface* motor) {
    if (!jointbus::anyWatchdog.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(jointbus::watchMutex);
    jointbus::Watches().erase(motor);
}

}  // namespace jointbus_detail
