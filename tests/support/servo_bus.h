#pragma once

// A serial servo bus for a test: the Feetech emulator playing `ids` on a pseudo-terminal in a
// temporary folder; the library's servos open `device`.

#include <string>

#include "feetech_emulator_process.h"
#include "pty.h"

namespace testsupport {

class ServoBus {
public:
    // ids: "1" or "1,2,3".
    explicit ServoBus(const std::string& ids, long baud = 1000000, long delayUs = 0)
        : link(dir.File("ttyGRIP")), device(link), emu(link, ids, baud, delayUs) {}

    TempDir dir;
    const std::string link;
    std::string device;  // for the servo constructors, which take a mutable name
    FeetechEmulatorProcess emu;
};

}  // namespace testsupport
