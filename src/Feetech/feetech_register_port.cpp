#include "jointbus/Feetech/feetech_register_port.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "jointbus/Feetech/SMS_STS_THREAD.h"
#include "jointbus/Feetech/feetech_codec.h"
#include "jointbus/Feetech/feetech_registers.h"
#include "jointbus/common/result_codes.h"
#include "jointbus/driver/driver_uart.h"

namespace Feetech {

RegisterPort::RegisterPort(const std::string& device, int baud)
    : port(DriverUart::GetUart(device, baud)) {
    if (port->baudRate != baud) SetBaudRate(baud);
}

int RegisterPort::status() const {
    return port->IsOpen() ? jointbus::kOk : jointbus::kBusNotOpen;
}

int RegisterPort::baudRate() const {
    return port->baudRate;
}

int RegisterPort::SetBaudRate(int baud) {
    return servo::SMS_STS_THREAD::ForPort(port->devName)->BetweenTicks(
        [&] { return port->SetBaudRate(baud) == 1 ? jointbus::kOk : jointbus::kBusNotOpen; });
}

int RegisterPort::Exchange(uint8_t* packet, int length, int id, uint8_t* reply, int expect,
                           int waitMs) {
    if (length <= 0 || expect > int(kMaxPacket)) return jointbus::kRegisterRefused;
    if (waitMs <= 0) {
        const int baud = std::max(port->baudRate.load(), 9600);
        waitMs = 10 + int(2LL * (length + expect) * 10 * 1000 / baud);
    }
    const auto budget = std::chrono::milliseconds(waitMs);
    return servo::SMS_STS_THREAD::ForPort(port->devName)->BetweenTicks([&] {
        if (!port->IsOpen() && port->Open() != 0) return int(jointbus::kBusNotOpen);
        if (port->Write(packet, length) != length) return int(jointbus::kBusNotOpen);
        int n = std::max(0, port->ReadBriefly(reply, expect, budget));
        // Noise before the answer's header: drop it and complete the answer from the line.
        const int start = FindHeader(reply, n);
        if (start > 0) {
            std::memmove(reply, reply + start, size_t(n - start));
            n -= start;
            n += std::max(0, port->ReadBriefly(reply + n, expect - n, budget));
        }
        return CheckReply(reply, n, expect, id) == ReplyFault::kNone ? int(jointbus::kOk)
                                                                     : int(jointbus::kNoReply);
    });
}

int RegisterPort::Ping(int id, int waitMs) {
    uint8_t packet[kMaxPacket], reply[kStatusReply];
    const int length = MakePing(packet, sizeof packet, uint8_t(id));
    return Exchange(packet, length, id, reply, kStatusReply, waitMs);
}

int RegisterPort::Read(int id, uint8_t reg, uint8_t count, uint8_t* out, int waitMs) {
    uint8_t packet[kMaxPacket], reply[kMaxPacket];
    const int length = MakeRead(packet, sizeof packet, uint8_t(id), reg, count);
    const int result = Exchange(packet, length, id, reply, kStatusReply + count, waitMs);
    if (result == jointbus::kOk) std::memcpy(out, reply + 5, count);
    return result;
}

int RegisterPort::Write(int id, uint8_t reg, const uint8_t* data, uint8_t count, int waitMs) {
    uint8_t packet[kMaxPacket], reply[kStatusReply];
    const int length = MakeWrite(packet, sizeof packet, uint8_t(id), reg, data, count);
    return Exchange(packet, length, id, reply, kStatusReply, waitMs);
}

int RegisterPort::SetLock(int id, bool locked, int waitMs) {
    const uint8_t value = locked ? 1 : 0;
    return Write(id, kLock, &value, 1, waitMs);
}

int RegisterPort::ReadValue(int id, const jointbus::RegisterInfo& r, uint32_t& raw, int waitMs) {
    uint8_t bytes[4] = {};
    const int result = Read(id, uint8_t(r.address), uint8_t(r.width), bytes, waitMs);
    raw = 0;
    for (int i = 0; i < r.width; ++i) raw |= uint32_t(bytes[i]) << (8 * i);
    return result;
}

int RegisterPort::WriteValue(int id, const jointbus::RegisterInfo& r, uint32_t raw, bool keep,
                             int waitMs) {
    if (r.width > 2 || !jointbus::AcceptsWrite(r, raw)) return jointbus::kRegisterRefused;
    const bool eeprom = keep && r.address < kEepromEnd;
    if (eeprom) {
        const int result = SetLock(id, false, waitMs);
        if (result != jointbus::kOk) return result;
    }
    const uint8_t bytes[2] = {uint8_t(raw), uint8_t(raw >> 8)};
    int result = Write(id, uint8_t(r.address), bytes, uint8_t(r.width), waitMs);
    // Where the servo answers from now on.
    const int nowId = r.address == kId ? int(raw) : id;
    if (result == jointbus::kOk && r.address == kBaud) result = SetBaudRate(kServoBauds[raw]);
    if (eeprom) {
        const int locked = SetLock(nowId, true, waitMs);
        if (result == jointbus::kOk) result = locked;
    }
    if (result != jointbus::kOk) return result;
    uint32_t back = 0;
    result = ReadValue(nowId, r, back, waitMs);
    if (result != jointbus::kOk) return result;
    return back == raw ? jointbus::kOk : jointbus::kWriteNotConfirmed;
}

}  // namespace Feetech
