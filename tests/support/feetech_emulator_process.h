#pragma once

// The Feetech servo emulator as a child process of a test, on a pseudo-terminal published
// under a link in a temporary folder.

#include <string>

#include "child_process.h"

namespace testsupport {

struct EmulatedServo {
    int pos = -1, goal = -1, torque = -1, mode = -1, speed = 0;
    unsigned long long requests = 0, answered = 0;  // packets that want a reply, replies sent
};

class FeetechEmulatorProcess {
public:
    // ids: "1" or "1,2,3".
    FeetechEmulatorProcess(const std::string& link, const std::string& ids, long baud = 0,
                           long delayUs = 0);
    bool ready() const { return isReady; }
    // Sends a control command and waits for its acknowledgement.
    void Command(const std::string& line);
    EmulatedServo Status(int id);
    ChildProcess& process() { return child; }

private:
    ChildProcess child;
    bool isReady = false;
};

}  // namespace testsupport
