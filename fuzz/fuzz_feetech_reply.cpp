// Feetech replies as they arrive on the bus: the bytes are handed to the port as unread input
// and one receive-only read (the way SYNC READ answers are read) takes them.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>

#include "jointbus/Feetech/FeetechDrvImpl.h"
#include "jointbus/driver/driver_uart.h"

namespace {

std::shared_ptr<DriverUart> Port() {
    // A pseudo-terminal keeps the port open; nothing is ever written to its other end.
    static const int master = [] {
        const int m = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(m);
        unlockpt(m);
        return m;
    }();
    static std::shared_ptr<DriverUart> port = [] {
        auto p = std::make_shared<DriverUart>(ptsname(master), 1000000);
        p->Open();
        p->ioTimeoutMs = 1;  // a short reply times out at once
        return p;
    }();
    return port;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static FeetechDrvImpl drv(Port(), 1, 0);
    drv.servoId = data[0] & 0x0F;  // often 1, the id the replies claim
    Port()->Unread(data + 2, int(size - 2));
    switch (data[1] % 9) {
        case 0:
            drv.FeedBack(0);
            break;
        case 1:
            drv.ReadPos(0);
            break;
        case 2:
            drv.ReadSpeed(0);
            break;
        case 3:
            drv.ReadLoad(0);
            break;
        case 4:
            drv.ReadVoltage(0);
            break;
        case 5:
            drv.ReadTemper(0);
            break;
        case 6:
            drv.ReadMove(0);
            break;
        case 7:
            drv.ReadCurrent(0);
            break;
        default:
            drv.ReadTorque(0);
            break;
    }
    // Leftover bytes would leak into the next input. No other thread uses the port.
    Port()->rFlushSCS();
    return 0;
}
