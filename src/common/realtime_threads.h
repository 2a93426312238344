#pragma once

// Applies the process's real-time options (jointbus::SetRealtime) to the calling bus thread.

namespace jointbus_detail {

// Once per thread: the first call sets the calling thread's scheduling and CPUs, logging what
// took effect (nothing when no option is set); later calls on the same thread return at once.
// `thread` names it in the log ("Damiao sender", "CAN receive can0").
void ApplyRealtimeOnce(const char* thread);

}  // namespace jointbus_detail
