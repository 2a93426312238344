#pragma once

// Every result code the motor operations return, with its meaning: one list for both motor
// families, the tools and the README's table (a test keeps that table in step with this one).
// 0 is success; -1 is the generic failure of an operation that has no code of its own (a
// parameter file that cannot be read, a bus operation before init()).

namespace jointbus {

enum ResultCode : int {
    kOk = 0,
    kInitNotDisabled = 2001,      // Damiao init: no disabled state within 0.5 s
    kUnknownModel = 2002,         // Damiao init refused: the motor model is unknown
    kDamiaoNotANumber = 2003,     // Damiao setter given NaN: nothing stored
    kHomingTimedOut = 3006,       // homing not confirmed within its time-out
    kOverCurrent = 4001,          // Damiao fault
    kOverload = 4002,             // Damiao fault
    kOverVoltage = 4003,          // Damiao fault
    kUnderVoltage = 4004,         // Damiao fault
    kCoilOverTemperature = 4005,  // Damiao fault
    kMosOverTemperature = 4006,   // Damiao fault
    kStallLatched = 4007,         // latched fault: stalled at the torque limit
    kTemperatureLatched = 4008,   // latched fault: at or above max_temperature
    kPowerLossLatched = 4009,     // latched fault: the Damiao motor lost its power (kDisableBus)
    kServoNotOnline = 5002,       // Feetech setter refused: the servo is not online
    kCommunicationLost = 5003,    // Damiao fault reported by the motor (its own time-out)
    kOffline = 5004,              // no feedback yet, or offline
    kFeetechNotANumber = 5005,    // Feetech setter given NaN: nothing posted
    kNoReply = 6001,              // register exchange: no answer within the wait
    kWriteNotConfirmed = 6002,    // register write: the value read back differs
    kBusNotOpen = 6003,           // register exchange: interface or port cannot be opened
    kRegisterRefused = 6004,      // register write refused: read-only, unknown or out of range
};

struct ResultCodeInfo {
    int code;
    const char* meaning;
};

// In ascending order of code.
inline constexpr ResultCodeInfo kResultCodes[] = {
    {kOk, "success"},
    {kInitNotDisabled, "Damiao init: the motor did not report the disabled state within 0.5 s"},
    {kUnknownModel, "Damiao init refused: unknown motor model, so no frame may be sent"},
    {kDamiaoNotANumber, "Damiao setter given NaN: nothing stored"},
    {kHomingTimedOut, "homing not confirmed within its time-out (both families)"},
    {kOverCurrent, "Damiao fault: over-current"},
    {kOverload, "Damiao fault: overload"},
    {kOverVoltage, "Damiao fault: over-voltage"},
    {kUnderVoltage, "Damiao fault: under-voltage"},
    {kCoilOverTemperature, "Damiao fault: motor coil over-temperature"},
    {kMosOverTemperature, "Damiao fault: MOS over-temperature"},
    {kStallLatched, "latched fault: stalled, the torque at its limit for stall_ms"},
    {kTemperatureLatched, "latched fault: temperature at or above max_temperature"},
    {kPowerLossLatched, "latched fault: the Damiao motor lost its power, its angle is not known"},
    {kServoNotOnline, "Feetech setter refused: the servo is not online"},
    {kCommunicationLost, "Damiao fault: communication lost (reported by the motor)"},
    {kOffline, "no feedback yet, or offline (both families)"},
    {kFeetechNotANumber, "Feetech setter given NaN: nothing posted"},
    {kNoReply, "register exchange: no answer within the wait"},
    {kWriteNotConfirmed, "register write: the value read back differs from the value written"},
    {kBusNotOpen, "register exchange: the CAN interface or serial port cannot be opened"},
    {kRegisterRefused,
     "register write refused, nothing sent: read-only or unknown register, or value out of range"},
};

// The meaning of a code, or nullptr for a code the library does not return.
inline const char* ResultCodeMeaning(int code) {
    for (const auto& entry : kResultCodes)
        if (entry.code == code) return entry.meaning;
    return nullptr;
}

}  // namespace jointbus
