#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "jointbus/common/export.h"
#include "jointbus/common/register_info.h"

class DriverUart;

namespace Feetech {

// Register exchanges with Feetech servos on one serial port, for commissioning. The port
// comes from the process's port registry, so servos driven by the library on the same port
// share it; every exchange runs between the ticks of its port's servo scheduler, never inside
// one.
// EEPROM registers (below 40) are written with the EEPROM lock opened first and closed after.
//
// Each exchange waits at most `waitMs` for the answer (0: twice the line time of request and
// answer at the port's rate, plus 10 ms).
class JOINTBUS_API RegisterPort {
public:
    RegisterPort(const std::string& device, int baud);

    // 0 when the port is open, else jointbus::kBusNotOpen.
    int status() const;
    int baudRate() const;
    // Moves the port to another line speed (and with it every servo driven on it).
    int SetBaudRate(int baud);

    // 0 when servo `id` answers a PING, else kNoReply.
    int Ping(int id, int waitMs = 0);
    // Reads `count` registers from `reg` into `out`: 0, or kNoReply.
    int Read(int id, uint8_t reg, uint8_t count, uint8_t* out, int waitMs = 0);
    // Writes `count` registers from `reg` and waits for the status answer: 0, or kNoReply.
    int Write(int id, uint8_t reg, const uint8_t* data, uint8_t count, int waitMs = 0);

    // One register of kServoRegisters, as raw bits.
    int ReadValue(int id, const jointbus::RegisterInfo& r, uint32_t& raw, int waitMs = 0);
    // Writes one register and reads it back: 0, kRegisterRefused (read-only or out of range;
    // nothing sent), kNoReply or kWriteNotConfirmed. With `keep`, an EEPROM register is
    // written with the lock opened around it, so it survives a power cycle; without, the
    // servo uses it until power-off. A new id is confirmed under that id; a new baud code
    // moves the port to the new rate, where the servo then answers. Every exchange of it
    // (lock, write, read-back) waits at most `waitMs`.
    int WriteValue(int id, const jointbus::RegisterInfo& r, uint32_t raw, bool keep,
                   int waitMs = 0);

private:
    int Exchange(uint8_t* packet, int length, int id, uint8_t* reply, int expect, int waitMs);
    int SetLock(int id, bool locked, int waitMs);

    std::shared_ptr<DriverUart> port;
};

}  // namespace Feetech
