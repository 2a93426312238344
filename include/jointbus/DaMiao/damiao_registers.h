#pragma once

// The Damiao motor registers that commissioning reads and writes over CAN id 0x7FF.
// A write takes effect at once in RAM and is lost at power-off until a store request copies
// all registers to flash; flash endures a limited number of writes (about 10,000).

#include <cstdint>

#include "jointbus/common/register_info.h"

namespace Damiao {

enum RegisterId : uint8_t {
    kRegMasterId = 7,
    kRegEscId = 8,
    kRegTimeout = 9,
    kRegCtrlMode = 10,
    kRegSwVersion = 14,
    kRegPmax = 21,
    kRegVmax = 22,
    kRegTmax = 23,
    kRegCanRate = 35,
};

using jointbus::RegisterKind;

inline constexpr jointbus::RegisterInfo kRegisters[] = {
    {kRegMasterId, "MST_ID", RegisterKind::kUnsigned, 4, true, true, 0, 0x7FF,
     "feedback id: the CAN id the motor answers on"},
    {kRegEscId, "ESC_ID", RegisterKind::kUnsigned, 4, true, true, 1, 0x7FF,
     "command id: the CAN id the motor listens on"},
    {kRegTimeout, "TIMEOUT", RegisterKind::kUnsigned, 4, true, true, 0, 4294967295.0,
     "communication time-out in 50 us units (0 off): silent that long, the motor disables"},
    {kRegCtrlMode, "CTRL_MODE", RegisterKind::kUnsigned, 4, true, true, 1, 4,
     "control mode: 1 MIT, 2 position-speed, 3 speed, 4 force-position"},
    {kRegSwVersion, "sw_ver", RegisterKind::kUnsigned, 4, false, true, 0, 0,
     "firmware version (read only)"},
    {kRegPmax, "PMAX", RegisterKind::kFloat, 4, true, true, 0.001, 1000,
     "position mapping range, rad"},
    {kRegVmax, "VMAX", RegisterKind::kFloat, 4, true, true, 0.001, 1000,
     "velocity mapping range, rad/s"},
    {kRegTmax, "TMAX", RegisterKind::kFloat, 4, true, true, 0.001, 1000,
     "torque mapping range, N·m"},
    {kRegCanRate, "can_br", RegisterKind::kUnsigned, 4, true, true, 0, 4,
     "CAN bit rate: 0 125k, 1 200k, 2 250k, 3 500k, 4 1M"},
};

// The bit rates of can_br's codes 0 to 4.
inline constexpr int kCanRates[] = {125000, 200000, 250000, 500000, 1000000};

// The code of a bit rate, or -1.
inline int CanRateCode(long rate) {
    for (int k = 0; k < 5; ++k)
        if (kCanRates[k] == rate) return k;
    return -1;
}

// One TIMEOUT unit is 50 us.
constexpr uint32_t kTimeoutUnitUs = 50;

}  // namespace Damiao
