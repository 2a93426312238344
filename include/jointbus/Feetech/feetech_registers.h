#pragma once

// The Feetech SMS/STS servo registers that commissioning reads and writes. Registers below
// 40 live in EEPROM: a write keeps only while the EEPROM lock (register 55) is open, so a
// writer opens it first and closes it after.

#include <cstdint>

#include "jointbus/Feetech/feetech_codec.h"
#include "jointbus/common/register_info.h"

namespace Feetech {

constexpr int kMaxServoId = 253;

using jointbus::RegisterKind;

inline constexpr jointbus::RegisterInfo kServoRegisters[] = {
    {kFirmwareMajor, "firmware_major", RegisterKind::kUnsigned, 1, false, true, 0, 0,
     "firmware main version (read only)"},
    {kFirmwareMinor, "firmware_minor", RegisterKind::kUnsigned, 1, false, true, 0, 0,
     "firmware sub version (read only)"},
    {kModel, "model", RegisterKind::kUnsigned, 2, false, true, 0, 0, "model number (read only)"},
    {kId, "id", RegisterKind::kUnsigned, 1, true, true, 0, kMaxServoId, "servo id"},
    {kBaud, "baud", RegisterKind::kUnsigned, 1, true, true, 0, 7,
     "baud code: 0 1M, 1 500k, 2 250k, 3 128k, 4 115200, 5 76800, 6 57600, 7 38400"},
    {kReturnDelay, "return_delay", RegisterKind::kUnsigned, 1, true, true, 0, 254,
     "return delay in 2 us units"},
    {kMinAngle, "min_angle", RegisterKind::kUnsigned, 2, true, true, 0, 4095,
     "lower angle limit, ticks"},
    {kMaxAngle, "max_angle", RegisterKind::kUnsigned, 2, true, true, 0, 4095,
     "upper angle limit, ticks"},
    {kOffset, "offset", RegisterKind::kSigned, 2, true, true, -2047, 2047, "position offset, ticks",
     11},
    {kMode, "mode", RegisterKind::kUnsigned, 1, true, true, 0, 3,
     "operating mode: 0 position, 1 speed (wheel), 2 PWM, 3 step"},
    {kTorqueEnable, "torque_enable", RegisterKind::kUnsigned, 1, true, false, 0, 1,
     "torque on (1) or off (0)"},
    {kLock, "lock", RegisterKind::kUnsigned, 1, true, false, 0, 1, "EEPROM lock: 0 open, 1 locked"},
    {kPresentPosition, "position", RegisterKind::kSigned, 2, false, false, 0, 0,
     "present position, ticks (read only)"},
    {kPresentVoltage, "voltage", RegisterKind::kUnsigned, 1, false, false, 0, 0,
     "present voltage, 0.1 V (read only)"},
    {kPresentTemperature, "temperature", RegisterKind::kUnsigned, 1, false, false, 0, 0,
     "present temperature, °C (read only)"},
};

// The line speeds of the baud codes 0 to 7.
inline constexpr int kServoBauds[] = {1000000, 500000, 250000, 128000, 115200, 76800, 57600, 38400};

// The code of a line speed, or -1.
inline int ServoBaudCode(long baud) {
    for (int k = 0; k < 8; ++k)
        if (kServoBauds[k] == baud) return k;
    return -1;
}

}  // namespace Feetech
