#pragma once

// What the library does on a fault it cannot recover from by itself: a Damiao motor that
// reports its power lost and back (its angle is no longer known), or a CAN heartbeat that
// stops. By default the process ends at once with exit status 1, as it always has: nothing
// commanded before can be trusted, and the exit handlers are not run (they would tear down
// objects that other threads still use).
//
// A process that drives several buses (two arms, say) may keep the others going instead:
// with kDisableBus every motor on the faulty bus is disabled, a motor whose power was lost
// latches kPowerLossLatched (4009) until ClearLatchedFault or ClearErrors, one ERROR line says
// what happened, and the process carries on. Process-wide; any thread.

#include "jointbus/common/export.h"

namespace jointbus {

enum class OnFatal { kExitProcess, kDisableBus };

JOINTBUS_API void SetFatalPolicy(OnFatal policy);
JOINTBUS_API OnFatal GetFatalPolicy();

}  // namespace jointbus
