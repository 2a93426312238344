#pragma once

// What the tools that run motors until a stop signal share: catching SIGINT and SIGTERM,
// sleeping until the next loop or a signal, and the start-up of every motor (init, home,
// enable) with a word while a slow homing goes on.

#include <functional>
#include <memory>
#include <vector>

#include "jointbus/common/ctrl_motor_interface.h"

namespace jointbus_tools {

// Catches SIGINT and SIGTERM; false (logged) when it cannot.
bool CatchStopSignals();
// Logs "Get exit signal" once per signal received; true once any stop was asked for.
bool StopRequested();
// Sleeps the whole time asked for, to the microsecond (never less), cut short by a stop
// signal.
void SleepUs(long us);
// Inits, homes and enables each motor in turn, calling `beforeEnable` (if any) before each
// enable. A stop signal skips the steps still to come; the caller's stop sequence then holds
// and disables every motor created.
void StartMotors(const std::vector<std::shared_ptr<CtrlMotorInterface>>& motors,
                 const std::function<void()>& beforeEnable = nullptr);

}  // namespace jointbus_tools
