#include "jointbus/common/motor_reading.h"

#include <array>
#include <atomic>
#include <cmath>
#include <mutex>

#include "common/command_watchdog.h"

namespace jointbus {

namespace {

// Filled while the library loads, read afterwards, by the bus threads' ticks among others: a
// reader takes no lock. An entry is written once, before the count that publishes it; the lock
// orders registrations. Entries stay where they are, and ObservedMotor points at them.
constexpr size_t kMaxFamilies = 16;
std::mutex familiesMutex;
std::array<MotorFamilyObserver, kMaxFamilies>& Families() {
    static auto* const families = new std::array<MotorFamilyObserver, kMaxFamilies>;
    return *families;
}
std::atomic<size_t> familyCount{0};

}  // namespace

bool RegisterMotorFamilyObserver(const MotorFamilyObserver& family) {
    std::lock_guard<std::mutex> lock(familiesMutex);
    const size_t n = familyCount.load(std::memory_order_relaxed);
    if (n == kMaxFamilies) return false;  // observed as "other", read through its getters
    Families()[n] = family;
    familyCount.store(n + 1, std::memory_order_release);
    return true;
}

ObservedMotor ObserveMotor(CtrlMotorInterface* motor) {
    ObservedMotor m;
    m.motor = motor;
    if (motor == nullptr) return m;
    const size_t n = familyCount.load(std::memory_order_acquire);
    for (size_t i = 0; i < n; ++i) {
        const MotorFamilyObserver& family = Families()[i];
        if (family.claims(*motor, m.bus)) {
            m.family = &family;
            break;
        }
    }
    return m;
}

void ReadThroughGetters(CtrlMotorInterface& motor, MotorReading& r) {
    r = MotorReading{};
    motor.getMotorPosition(r.position);
    motor.getVelocity(r.velocity);
    motor.getTorque(r.torque);
    motor.getMotorTemperature(r.temperature);
    r.code = motor.getEnableStatus(r.enabled);
}

void ReadMotor(const ObservedMotor& m, MotorReading& r) {
    if (m.family != nullptr)
        m.family->read(*m.motor, r);
    else
        ReadThroughGetters(*m.motor, r);
    if (r.code == 0) r.code = jointbus_detail::LatchedFaultOf(*m.motor);
    r.enabled = r.code == 0 && r.enabled;
}

void MakeFinite(MotorReading& r) {
    for (double* v : {&r.position, &r.velocity, &r.torque})
        if (!std::isfinite(*v)) *v = 0;
    if (!std::isfinite(r.target)) r.hasTarget = false;
    if (!std::isfinite(r.age)) r.hasAge = false;
}

}  // namespace jointbus
