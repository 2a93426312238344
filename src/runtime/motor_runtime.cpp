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

std::mutex& RegistryMutex() {
    static auto* const mutex = new std::mutex;
    return *mutex;
}

thread_local const CtrlMotorInterface* tickMotor = nullptr;
thread_local MotorRuntime* tickRuntime = nullptr;
}  // namespace

RuntimeLock::RuntimeLock(const CtrlMotorInterface* m) : motor(m) {
    if (m != nullptr && m == tickMotor) {
        runtime = tickRuntime;
    } else {
        registry = std::unique_lock<std::mutex>(RegistryMutex());
        auto found = Registry().find(m);
        if (found != Registry().end()) runtime = found->second.get();
    }
    if (runtime != nullptr) held = std::unique_lock<std::mutex>(runtime->mutex);
}

MotorRuntime& RuntimeLock::Make() {
    if (runtime != nullptr) return *runtime;
    if (!registry.owns_lock()) registry = std::unique_lock<std::mutex>(RegistryMutex());
    std::unique_ptr<MotorRuntime>& slot = Registry()[motor];
    slot = std::make_unique<MotorRuntime>();
    runtime = slot.get();
    held = std::unique_lock<std::mutex>(runtime->mutex);
    return *runtime;
}

TickRuntime::TickRuntime(const CtrlMotorInterface* motor, MotorRuntime* runtime)
    : previousMotor(tickMotor), previousRuntime(tickRuntime) {
    tickMotor = motor;
    tickRuntime = runtime;
}

TickRuntime::~TickRuntime() {
    tickMotor = previousMotor;
    tickRuntime = previousRuntime;
}

void ForgetRuntime(const CtrlMotorInterface* motor) {
    std::unique_ptr<MotorRuntime> gone;
    {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        auto found = Registry().find(motor);
        if (found == Registry().end()) return;
        gone = std::move(found->second);
        Registry().erase(found);
    }
}

}  // namespace jointbus_detail
