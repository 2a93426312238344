#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

class damiaoMotor;

namespace Damiao {

class Damiao_Thread;
struct Engine;

// Takes `motor` out of the sender it registered with (Damiao_Thread::addDamiao), if any, and
// waits for that sender's tick in progress. Any thread.
void LeaveSender(damiaoMotor* motor);
// The sender `motor` is registered with, or nullptr. Any thread.
Damiao_Thread* SenderOf(const damiaoMotor* motor);
// In the pause after `motor`'s frame, on the thread that runs its sender's tick: reads the
// answers waiting on the motor's socket. Elsewhere it does nothing.
void TakeAnswers(damiaoMotor* motor);

// The engine of a CAN interface: its sender's tick writes every motor's frame and reads the
// answers on the motors' sockets itself, so a motor has no receive thread. A control cycle
// (jointbus::ControlCycle) runs the same work on its caller's thread.
struct DrivenAccess {
    // The cycle's side, with Lock(sender) held from SendCycle to CollectCycle.
    static std::mutex& Lock(Damiao_Thread& sender);
    static void SendCycle(Damiao_Thread& sender);
    // Reads answers until every motor has one or `deadlineNs` (steady clock) passes; appends
    // the motors without an answer to `silent`.
    static void CollectCycle(Damiao_Thread& sender, int64_t deadlineNs,
                             std::vector<damiaoMotor*>& silent);

    static void SendTick(Damiao_Thread& sender, Engine& e, bool driven);
    static void ReadAll(Engine& e);
    static void Read(Engine& e, size_t i, bool answer);
    static void Collect(Engine& e, int64_t deadlineNs);
    static void EndTick(Engine& e);
    static void HomeStep(Engine& e, damiaoMotor* m);
};

}  // namespace Damiao
