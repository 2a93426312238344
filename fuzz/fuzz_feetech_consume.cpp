// The scheduler's byte walker over whatever the receive thread read from the bus.

#include <cstdint>
#include <vector>

#include "jointbus/Feetech/SMS_STS_THREAD.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static servo::SMS_STS_THREAD scheduler;
    // An exact-size copy, so that a read past the end is caught.
    std::vector<unsigned char> bytes(data, data + size);
    scheduler.Consume(bytes.empty() ? nullptr : bytes.data(), unsigned(bytes.size()));
    return 0;
}
