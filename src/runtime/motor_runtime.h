#pragma once

// Everything the library keeps for one motor beyond the motor's own object: its seat on its
// bus, its limits, its command watchdog, fault watch and latch, bumpless enable, commanded
// gains, damping and exit policy, each with its state. One object per motor, made when the
// motor registers on its bus or by the first setting, and dropped by the motor's destructor
// (ForgetMotor), whatever the motor changed in between (motor_id, dev_name): a later motor at
// the same address starts with none of it. A part a motor never had reads as its defaults,
// which change nothing of what the motor does.
//
// Locking: each object has a mutex of its own; a registry lock guards the table. A thread that
// ticks a bus reaches the runtime of the motor whose turn it is through TickRuntime, without
// the registry: a tick takes no lock that another bus's tick takes. Elsewhere the registry
// lock is taken, then the object's. Both are held for plain data only, never across a motor's
// getter or setter, I/O or a wait, and no other runtime is reached meanwhile.

#include <cstdint>
#include <mutex>

#include "common/command_watchdog.h"
#include "jointbus/common/command_watchdog.h"
#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/impedance.h"
#include "jointbus/common/motor_limits.h"

namespace jointbus_detail {

// jointbus::MotorLimits and what clamping keeps between commands.
struct LimitsState {
    enum Kind { kPosition, kVelocity, kTorque, kStep, kKinds };
    jointbus::MotorLimits limits;  // all kNone: the motor has no limits
    bool hasTarget = false;
    double lastTarget = 0;  // the last position let through, the caller's direction
    bool episode[kKinds] = {};
    unsigned long long hits = 0;
};

// The command watchdog, the fault watch and its latch, and bumpless enable.
struct WatchState {
    jointbus::CommandWatchdog settings;
    CommandWatch watch;
    unsigned long long timeouts = 0;
    jointbus::FaultWatch faults;
    FaultLatch latch;
    bool bumpless = false;
    bool sawEnabled = false;  // bumpless: the last tick saw the motor enabled
    bool seeded = false;      // bumpless servo: its goal was set, its torque goes on next

    // Nothing to watch: a tick passes the motor by.
    bool Empty() const {
        return settings.timeoutMs == 0 && faults.stallMs == 0 && faults.maxTemperature == 0 &&
               latch.latched == 0 && !bumpless;
    }
};

// A Damiao motor's commanded gains, its damping and its exit policy.
struct GainsState {
    bool commanded = false;  // a command's own gains, until the next plain setter call
    float kp = 0, kd = 0;
    int64_t dampUntilNs = 0;  // 0: no damping under way
    float dampKd = 0;
    jointbus::ExitPolicy exit;
};

// Where the motor is registered: the sender or scheduler it joined (null: none), under which
// id. It leaves by this, whatever the motor's own id and bus say by then.
struct Seat {
    void* bus = nullptr;
    int id = 0;
};

struct MotorRuntime {
    std::mutex mutex;  // guards the parts below
    Seat seat;
    LimitsState limits;
    WatchState watch;
    GainsState gains;
};

// The runtime of one motor, locked while this lives. Find() is the motor's runtime or nullptr
// where it has none; Make() makes it on first use. On the thread that ticks the motor (inside
// its TickRuntime) neither touches the registry.
class RuntimeLock {
public:
    explicit RuntimeLock(const CtrlMotorInterface* motor);
    RuntimeLock(const RuntimeLock&) = delete;
    RuntimeLock& operator=(const RuntimeLock&) = delete;
    MotorRuntime* Find() { return runtime; }
    MotorRuntime& Make();

private:
    const CtrlMotorInterface* motor;
    std::unique_lock<std::mutex> registry;  // not held on the tick's own path
    MotorRuntime* runtime = nullptr;
    std::unique_lock<std::mutex> held;
};

// While it lives, the calling thread ticks `motor`, whose runtime (made when it took its seat)
// is `runtime`: RuntimeLock reaches it directly.
class TickRuntime {
public:
    TickRuntime(const CtrlMotorInterface* motor, MotorRuntime* runtime);
    ~TickRuntime();
    TickRuntime(const TickRuntime&) = delete;
    TickRuntime& operator=(const TickRuntime&) = delete;

private:
    const CtrlMotorInterface* previousMotor;
    MotorRuntime* previousRuntime;
};

// Drops the runtime of `motor`, which no bus ticks any more. Any thread.
void ForgetRuntime(const CtrlMotorInterface* motor);

}  // namespace jointbus_detail
