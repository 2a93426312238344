#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

#include "jointbus/common/export.h"
#include "jointbus/common/private_timer.h"

class damiaoMotor;

namespace Damiao {

struct DrivenAccess;

// A sender of Damiao frames: every 5 ms it lets each registered Damiao motor send exactly
// one frame (a homing step, a control frame, or an enable/disable frame). An interface with
// tick_us set (jointbus::SetCanInterfaceSettings, before its first motor inits) is served on a
// fixed-rate schedule of that period instead. The sender is its interface's engine: it reads
// its motors' answers on their sockets itself (after each frame's pause, or after the last frame
// when there is none), resets a bus-off interface once for all of them, and reopens a closed
// socket a second later. A control cycle (jointbus::ControlCycle) may take its ticks over.
//
// Every CAN interface has a sender of its own, on its own thread, so a bus that is down, in
// restart or busy homing never holds up another bus. getInstance() is the process-wide sender,
// which serves the first interface asked for through ForInterface(); a process with one bus
// runs it alone. Motors register with the sender of their interface when they init.
//
// Lock order: motorsMutex (held for a whole tick) before a motor's writeMutex.
//
// Each bus is its own lock domain: a tick takes none of another bus's locks, so it goes on
// while another bus's tick is blocked (homing, a silent motor, a restart). The process-wide
// locks it takes (the registry of engines, which buses a cycle drives, the motors' settings)
// are held for a lookup only, never across I/O or a wait.
class JOINTBUS_API Damiao_Thread {
public:
    static Damiao_Thread* getInstance();
    // The sender of CAN interface `interface`, made on first use and never destroyed. Its
    // thread runs while it has motors (the process-wide sender's always runs).
    static Damiao_Thread* ForInterface(const std::string& interface);

    Damiao_Thread();
    ~Damiao_Thread();  // stops the timer and waits for the tick in progress

    // A motor already registered under the same id is replaced (with a WARN line when it was
    // another motor). Any thread; waits for the tick in progress.
    void addDamiao(int id, damiaoMotor* motor);
    // Removes `motor` if it is the one registered under `id`. Waits for the tick in progress,
    // so the motor is never visited again once this returns.
    void removeDamiao(int id, damiaoMotor* motor);
    void Callback();  // one tick, timer thread only

    // Ticks run so far: with n motors registered throughout, each tick sends n frames.
    unsigned long long Ticks() const { return ticks.load(std::memory_order_relaxed); }

private:
    friend struct DrivenAccess;
    struct OwnBus {};
    explicit Damiao_Thread(OwnBus);  // a sender of ForInterface's: starts with its first motor
    void Start();
    void StartEvery(int tickUs, const std::string& interface);
    static void StopAll();  // at exit: stops every sender's thread

    std::mutex lifecycleMutex;  // add/remove and timer start/stop; taken before motorsMutex
    bool stopsWhenIdle = false;  // const after construction
    std::mutex motorsMutex;
    std::unordered_map<int, damiaoMotor*> motors;
    std::atomic<unsigned long long> ticks{0};
    PrivateTimer timer;  // last member: stopped first when the sender goes
};

}  // namespace Damiao
