#pragma once

#include <memory>
#include <string>
#include <vector>

#include "jointbus/common/ctrl_motor_interface.h"
#include "jointbus/common/export.h"

namespace jointbus {

struct ControlCycleOptions {
    // Once no cycle has come for this long, the bus threads take their ticks back and the
    // motors hold where they stand, until the next cycle. 1 to 10000.
    int watchdogMs = 50;
    // How long cycle() waits at most for the motors' answers, in µs. 1 to 1000000.
    int deadlineUs = 500;
    // The period the caller means to call cycle() at, in µs: a servo port whose tick takes
    // longer on the wire is served every k-th cycle (logged at start). 100 to 1000000.
    int periodUs = 1000;
};

// A cycle that the caller's control loop drives, in place of the bus threads' own ticks. It
// takes over the tick of every bus its motors are on (the CAN interfaces of Damiao motors,
// the serial ports of Feetech servos; every motor on those buses is driven). The loop sets
// targets with the motors' setters and calls cycle(): every motor's frame leaves at once, and
// the call returns once every motor has answered or the deadline has passed, so that the
// getters then read this cycle's feedback. Homing goes one step per cycle. The ramp of a
// Damiao motor follows the time between two cycles.
//
// When the caller stops calling for longer than the watchdog, the bus threads tick again,
// the listed motors hold where they stand, and one WARN says so; the next cycle takes the
// ticks back. stop() or the destructor hands the ticks back with the last targets kept.
//
// One thread calls start, cycle and stop. Motors must be initialised before start() and
// outlive the cycle.
class JOINTBUS_API ControlCycle {
public:
    explicit ControlCycle(std::vector<CtrlMotorInterface*> motors,
                          ControlCycleOptions options = ControlCycleOptions());
    ~ControlCycle();
    ControlCycle(const ControlCycle&) = delete;
    ControlCycle& operator=(const ControlCycle&) = delete;

    // Takes the buses' ticks: 0, or -1 with the reason in error() (bad options, a motor of
    // another kind or not initialised, a bus that another cycle drives). Nothing is taken
    // then.
    int start();
    void stop();
    // One cycle: 0 when every motor answered, else the number of motors that did not, listed
    // in silent(); -1 before start().
    int cycle();
    const std::vector<CtrlMotorInterface*>& silent() const;
    const std::string& error() const;
    unsigned long long cycles() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace jointbus
