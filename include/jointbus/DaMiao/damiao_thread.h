#pragma once

#include <mutex>
#include <unordered_map>

#include "jointbus/common/export.h"
#include "jointbus/common/private_timer.h"

class damiaoMotor;

namespace Damiao {

// The one sender of the process: every 5 ms it lets each registered Damiao motor send exactly
// one frame (a homing step, a control frame, or an enable/disable frame).
//
// Lock order: motorsMutex (held for a whole tick) before a motor's writeMutex.
class JOINTBUS_API Damiao_Thread {
public:
    static Damiao_Thread* getInstance();

    Damiao_Thread();
    ~Damiao_Thread();  // stops the timer and waits for the tick in progress

    // A motor already registered under the same id is replaced. Any thread; waits for the
    // tick in progress.
    void addDamiao(int id, damiaoMotor* motor);
    // Removes `motor` if it is the one registered under `id`. Waits for the tick in progress,
    // so the motor is never visited again once this returns.
    void removeDamiao(int id, damiaoMotor* motor);
    void Callback();  // one tick, timer thread only

private:
    std::mutex motorsMutex;
    std::unordered_map<int, damiaoMotor*> motors;
    PrivateTimer timer;  // last member: stopped first when the sender goes
};

}  // namespace Damiao
