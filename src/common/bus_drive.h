#pragma once

// Which bus ticks a control cycle drives (jointbus::ControlCycle). A bus thread asks
// TickSkipped before each of its ticks: while the cycles come within their watchdog it skips
// its tick; once they stop, it hands the motors to the cycle's hold, logs one WARN and ticks
// again until the next cycle. The cycle's own ticks run on the caller's thread inside a
// DrivenScope, where TickSkipped is false.
//
// Invariant: a bus is driven by at most one cycle; the hold of a cycle is never called once
// ReleaseBus for it has returned.

#include <cstdint>
#include <functional>
#include <string>

namespace jointbus_detail {

// Takes the tick of `bus` (a sender or a scheduler) for `owner`. `hold` makes the bus's
// motors hold where they stand; it is called on the bus thread, outside the bus's locks.
// false when another owner drives the bus.
bool DriveBus(const void* bus, const void* owner, const std::string& name, int64_t watchdogNs,
              std::function<void()> hold);
// Gives the tick back; waits for a hold in progress.
void ReleaseBus(const void* bus, const void* owner);
// A cycle of `owner` on `bus` starts now: the watchdog counts from here.
void MarkCycle(const void* bus, int64_t nowNs);
// On the bus thread, before a tick: true when the tick is the cycle's to run.
bool TickSkipped(const void* bus);

// Marks the calling thread as running a driven cycle while it lives.
class DrivenScope {
public:
    explicit DrivenScope(int periodUs);
    ~DrivenScope();
    DrivenScope(const DrivenScope&) = delete;
    DrivenScope& operator=(const DrivenScope&) = delete;
};
// The caller's period in µs while a driven cycle runs on this thread, else 0.
int DrivenPeriodUs();

// While it lives, a driven cycle offers its servo port a bound (steady clock) for the reads of
// servos that are offline: a silent servo costs the cycle no more than that, while a servo that
// answers keeps the line's own time-out, however slowly it answers on a loaded machine.
class SilentReadBound {
public:
    explicit SilentReadBound(int64_t boundNs);
    ~SilentReadBound();
    SilentReadBound(const SilentReadBound&) = delete;
    SilentReadBound& operator=(const SilentReadBound&) = delete;
};
// The bound of the SilentReadBound that lives on this thread, else 0.
int64_t SilentReadBoundNs();

// While it lives, serial reads on the calling thread end by `deadlineNs` (0: no bound).
class ReadDeadline {
public:
    explicit ReadDeadline(int64_t deadlineNs);
    ~ReadDeadline();
    ReadDeadline(const ReadDeadline&) = delete;
    ReadDeadline& operator=(const ReadDeadline&) = delete;
};
// The deadline of the ReadDeadline that lives on this thread, else 0.
int64_t ReadDeadlineNs();

}  // namespace jointbus_detail
