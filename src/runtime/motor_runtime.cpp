#include "runtime/motor_runtime.h"

#include <memory>
#include <unordered_map>

namespace jointbus_detail {

namespace {
// By address: the one table of the library keyed by a motor. Never destroyed, since a motor
// may go (and forget itself) after main has returned. An object stays where it is while the
// table grows.
std::unordered_map<const CtrlMotorInterface*, std::unique_ptr<MotorRuntime>>& Registry() {
    static auto* const registry =
        new std::unordered_map<const CtrlMotorInterface*, std::unique_ptr<MotorRuntime>>;
    return *registry;
}
}  // namespace

std::mutex& RuntimeMutex() {
    static auto* const mutex = new std::mutex;
    return *mutex;
}

MotorRuntime* FindRuntimeLocked(const CtrlMotorInterface* motor) {
    auto found = Registry().find(motor);
    return found != Registry().end() ? found->second.get() : nullptr;
}

MotorRuntime& RuntimeLocked(const CtrlMotorInterface* motor) {
    std::unique_ptr<MotorRuntime>& slot = Registry()[motor];
    if (slot == nullptr) slot = std::make_unique<MotorRuntime>();
    return *slot;
}

void ForgetRuntime(const CtrlMotorInterface* motor) {
    std::lock_guard<std::mutex> lock(RuntimeMutex());
    Registry().erase(motor);
}

}  // namespace jointbus_detail
