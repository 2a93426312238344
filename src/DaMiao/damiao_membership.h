#pragma once

class damiaoMotor;

namespace Damiao {

// Takes `motor` out of the sender it registered with (Damiao_Thread::addDamiao), if any, and
// waits for that sender's tick in progress. Any thread.
void LeaveSender(damiaoMotor* motor);

}  // namespace Damiao
