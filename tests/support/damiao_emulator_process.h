#pragma once

// The Damiao motor emulator as a child process of a test, with its control commands.

#include <string>
#include <vector>

#include "child_process.h"

namespace testsupport {

struct EmulatedMotor {
    int state = -1;
    bool enabled = false;
    double pos = 0, vel = 0, torque = 0;
    unsigned long long received = 0, answered = 0;  // frames addressed to it, feedback sent
};

// A motor's registers as the emulator holds them.
struct EmulatedRegisters {
    unsigned id = 0, master = 0, timeout = 0, mode = 0, canRate = 0;
    float pmax = 0, vmax = 0, tmax = 0;
    unsigned long long stores = 0, requests = 0;  // store requests, register requests
};

class DamiaoEmulatorProcess {
public:
    // motors: "ID:MASTER[:MODEL[:MODE]]" each.
    // With `traceOnly`, only that motor's frames are traced.
    DamiaoEmulatorProcess(const std::string& ifname, const std::vector<std::string>& motors,
                          bool trace = false, unsigned traceOnly = 0);
    bool ready() const { return isReady; }
    void Command(const std::string& line) { child.WriteLine(line); }
    EmulatedMotor Status(unsigned id);
    // The registers of the motor with command id `id` (id 0 in the result: no such motor).
    EmulatedRegisters Registers(unsigned id);
    // The frames the emulator received (with --trace) as "ID LEN BYTES", in order; a frame
    // that a silent motor did not answer ends in " unanswered".
    std::vector<std::string> Frames();
    ChildProcess& process() { return child; }

private:
    ChildProcess child;
    bool isReady = false;
};

std::string EmulatorPath();

}  // namespace testsupport
