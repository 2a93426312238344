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

// What a servo keeps in EEPROM, and its lock.
struct ServoEeprom {
    int baud = -1, delay = -1, offset = 0, mode = -1, lock = -1;
    unsigned long long writes = 0;  // EEPROM writes kept (made with the lock open)
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
    // The EEPROM of the servo whose stored id is `id`; baud -1 when there is none.
    ServoEeprom Eeprom(int id);
    ChildProcess& process() { return child; }

private:
    ChildProcess child;
    bool isReady = false;
};

}  // namespace testsupport
