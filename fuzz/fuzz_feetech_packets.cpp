// The packet builders' bounds: buffer sizes, parameter counts and id lists taken from the
// input, on buffers of exactly the stated size so that any write past them is caught. The
// port is closed, so the SYNC operations build their packets and send nothing.

#include <cstdint>
#include <memory>
#include <vector>

#include "jointbus/Feetech/FeetechDrvImpl.h"
#include "jointbus/driver/driver_uart.h"

namespace {

// Reads the input front to back; past its end every value is 0.
struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    std::vector<unsigned char> Bytes(size_t n) {
        std::vector<unsigned char> out;
        while (n-- > 0 && at < size) out.push_back(data[at++]);
        return out;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FeetechDrvImpl drv(std::make_shared<DriverUart>("/nonexistent/jointbus-fuzz", 1000000),
                              1, 0);
    Input in{data, size};
    {
        std::vector<unsigned char> buf(in.Byte());
        const unsigned char instruction = in.Byte();
        const unsigned char id = in.Byte();
        const unsigned char n = in.Byte();
        std::vector<unsigned char> params = in.Bytes(n);
        if (params.size() == n) {
            FeetechDrvImpl::genCmdData(buf.empty() ? nullptr : buf.data(), unsigned(buf.size()),
                                       instruction, id, params.empty() ? nullptr : params.data(),
                                       n);
        }
        std::vector<unsigned char> src = in.Bytes(in.Byte());
        if (!buf.empty() && !src.empty())
            FeetechDrvImpl::appendCmdData(buf.data(), unsigned(buf.size()), src.data(),
                                          unsigned(src.size()));
    }
    {
        std::vector<unsigned char> full(FeetechDrvImpl::kBufferSize);
        FeetechDrvImpl::finalizeCmdData(full.data(), in.Byte());
    }
    const size_t count = in.Byte();
    std::vector<int> ids;
    for (size_t i = 0; i < count; ++i) ids.push_back(int(in.Byte()) - 8);
    const unsigned char addr = in.Byte();
    const unsigned char len = in.Byte();
    std::vector<unsigned char> block = in.Bytes(ids.size() * len);
    if (block.size() == ids.size() * len)
        drv.syncWrite(ids, addr, len, block.empty() ? nullptr : block.data());
    drv.syncRead(ids, addr, len);
    const uint8_t sizes = in.Byte();
    auto sized = [&](int shift) { return (sizes >> shift) & 1 ? ids.size() : ids.size() / 2; };
    std::vector<short> positions(sized(0), short(in.Byte() << 8 | in.Byte()));
    std::vector<short> speeds(sized(1), short(in.Byte() << 8 | in.Byte()));
    std::vector<unsigned char> accs(sized(2), in.Byte());
    std::vector<unsigned char> times(sized(3), in.Byte());
    drv.syncWritePos(ids, positions, speeds, accs, times);
    return 0;
}
