#pragma once

// The library's side of jointbus::SetFatalPolicy. Where the process is not to end, a fault
// owes the disable of its bus's motors to that bus's engine, which serves it at the end of its
// next tick: the fault may be seen inside a tick (a motor's feedback), where the bus's own
// locks are held.

#include <string>

namespace jointbus_detail {

// Owes the disable of every motor on CAN interface `bus`. Any thread.
void OweBusDisable(const std::string& bus);
// Whether a disable is owed to `bus`, taken once. One relaxed load while none is owed.
bool TakeBusDisable(const std::string& bus);
// Ends the process as the library always has on such a fault: at once, exit status 1.
[[noreturn]] void EndProcess();

}  // namespace jointbus_detail
