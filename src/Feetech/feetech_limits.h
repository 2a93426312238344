#pragma once

// The limits of a servo applied to a command given in servo units (the scheduler's mailbox
// operations by id, setSpeed), so that no way of commanding a servo passes them by.

class feetechMotor;

namespace jointbus_detail {

// `position` (a goal position register value, null for none) and `speed` (ticks per second)
// pass the servo's limits in place, and the command counts for its command watchdog. Values
// no limit clamps are left exactly as given. Before the servo's motorMutex.
void LimitServoCommand(feetechMotor& servo, short* position, short* speed);

}  // namespace jointbus_detail
