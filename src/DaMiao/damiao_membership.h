#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

class damiaoMotor;
struct CanFrame;

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
// On the thread that runs a batched tick (frame_gap_us: 0, or a control cycle, over one socket
// for the interface), while `motor`'s turn: keeps the frame for the tick's single write and
// returns true; the write's failures are counted then. Elsewhere false: the caller writes.
bool QueueFrame(damiaoMotor* motor, uint32_t id, const uint8_t* data, uint8_t len,
                bool countFailure);

// What may still come for a motor that leaves its engine: nothing, perhaps answers to its last
// frames (it is online), or the answer to its last frame, which its last tick did not get.
enum class LateAnswers { kNone, kMaybe, kExpected };

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
    static bool UseShared(Engine& e);
    static void SetMuted(Engine& e, bool muted);
    static void ReadShared(Engine& e);
    static void Flush(Engine& e);
    static void Route(Engine& e, CanFrame& frame);
    static LateAnswers Release(Damiao_Thread& sender, Engine& e, damiaoMotor* m);
    static LateAnswers Leave(Damiao_Thread& sender, Engine& e, damiaoMotor* m);
    static void AwaitLateAnswers(damiaoMotor* m, LateAnswers late);
    static bool Owed(Engine& e);
    static void ServeRestart(Damiao_Thread& sender);
};

}  // namespace Damiao
