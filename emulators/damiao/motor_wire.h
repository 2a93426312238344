#pragma once

// The motor's side of the Damiao CAN protocol, written from the maker's frame descriptions
// and kept apart from the library's codec on purpose: the emulator is the other end of the
// protocol, so a mistake in the library's encoding shows up as a disagreement here rather
// than being shared.

#include <cstdint>
#include <cstring>

namespace motor_wire {

// The mapping ranges a motor of each model holds in its PMAX, VMAX and TMAX registers; gains
// map over kp 0..500 and kd 0..5 on every model.
struct Limits {
    float pmax = 0, vmax = 0, tmax = 0;
};

inline bool LimitsOfModel(int model, Limits& l) {
    switch (model) {
        case 4310:
            l = {12.5f, 30.0f, 10.0f};
            return true;
        case 4340:
            l = {12.5f, 10.0f, 28.0f};
            return true;
        case 6006:
            l = {12.5f, 45.0f, 10.0f};
            return true;
        default:
            return false;
    }
}

constexpr float kKpMax = 500.0f;
constexpr float kKdMax = 5.0f;

// Control modes as the offsets of their command ids.
constexpr uint32_t kModeMit = 0x000;
constexpr uint32_t kModePosSpeed = 0x100;
constexpr uint32_t kModeSpeed = 0x200;

constexpr uint32_t kModeForcePos = 0x300;

// Register requests go to CAN id 0x7FF as [id_lo, id_hi, cmd, rid, d0, d1, d2, d3].
constexpr uint32_t kRegisterCanId = 0x7FF;
constexpr uint8_t kRegRead = 0x33;
constexpr uint8_t kRegWrite = 0x55;
constexpr uint8_t kRegStore = 0xAA;

// Register numbers.
constexpr uint8_t kRegMasterId = 7;
constexpr uint8_t kRegEscId = 8;
constexpr uint8_t kRegTimeout = 9;
constexpr uint8_t kRegCtrlMode = 10;
constexpr uint8_t kRegSwVersion = 14;
constexpr uint8_t kRegPmax = 21;
constexpr uint8_t kRegVmax = 22;
constexpr uint8_t kRegTmax = 23;
constexpr uint8_t kRegCanRate = 35;

constexpr uint32_t kSwVersion = 5014;  // what this emulated firmware reports
constexpr int kStateCommunicationLost = 13;

// CTRL_MODE counts the modes 1 MIT, 2 position-speed, 3 speed, 4 force-position; their
// frames' ids are the command id plus 0x000, 0x100, 0x200, 0x300.
inline uint32_t ModeRegisterOf(uint32_t offset) {
    return (offset >> 8) + 1;
}
inline uint32_t ModeOffsetOf(uint32_t reg) {
    return (reg - 1) << 8;
}

// Last byte of the frames FF FF FF FF FF FF FF xx.
constexpr uint8_t kCmdEnable = 0xFC;
constexpr uint8_t kCmdDisable = 0xFD;
constexpr uint8_t kCmdZero = 0xFE;
constexpr uint8_t kCmdClear = 0xFB;

// An unsigned field of `bits` bits spread over [-limit, limit].
inline float FieldToValue(unsigned field, float limit, int bits) {
    const float top = float((1u << bits) - 1);
    return float(field) * (2.0f * limit) / top - limit;
}

inline unsigned ValueToField(float value, float limit, int bits) {
    if (!(value >= -limit)) value = -limit;
    if (value > limit) value = limit;
    const float top = float((1u << bits) - 1);
    return unsigned((value + limit) * top / (2.0f * limit));
}

// A gain field over [0, max].
inline float GainOf(unsigned field, float max, int bits) {
    return float(field) * max / float((1u << bits) - 1);
}

struct MitTarget {
    float p = 0, v = 0, kp = 0, kd = 0, t = 0;
};

// An MIT frame: p 16 bits, v 12, kp 12, kd 12, t 12, most significant bits first.
inline MitTarget ReadMit(const Limits& l, const uint8_t d[8]) {
    MitTarget m;
    m.p = FieldToValue(unsigned(d[0] << 8 | d[1]), l.pmax, 16);
    m.v = FieldToValue(unsigned(d[2] << 4 | d[3] >> 4), l.vmax, 12);
    m.kp = GainOf(unsigned((d[3] & 0x0F) << 8 | d[4]), kKpMax, 12);
    m.kd = GainOf(unsigned(d[5] << 4 | d[6] >> 4), kKdMax, 12);
    m.t = FieldToValue(unsigned((d[6] & 0x0F) << 8 | d[7]), l.tmax, 12);
    return m;
}

inline uint32_t ReadU32(const uint8_t* d) {
    return uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24;
}

inline void PutU32(uint32_t v, uint8_t* d) {
    for (int i = 0; i < 4; ++i) d[i] = uint8_t(v >> (8 * i));
}

inline uint32_t BitsOf(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

inline float FloatOf(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// A little-endian IEEE single.
inline float ReadFloat(const uint8_t* d) {
    return FloatOf(ReadU32(d));
}

// The feedback frame: state in the high nibble of byte 0, p 16 bits, v 12, t 12, then the
// MOS and coil temperatures.
inline void WriteFeedback(const Limits& l, int state, float p, float v, float t, uint8_t mos,
                          uint8_t coil, uint8_t out[8]) {
    const unsigned P = ValueToField(p, l.pmax, 16);
    const unsigned V = ValueToField(v, l.vmax, 12);
    const unsigned T = ValueToField(t, l.tmax, 12);
    out[0] = uint8_t((state & 0x0F) << 4);
    out[1] = uint8_t(P >> 8);
    out[2] = uint8_t(P & 0xFF);
    out[3] = uint8_t(V >> 4);
    out[4] = uint8_t((V & 0x0F) << 4 | T >> 8);
    out[5] = uint8_t(T & 0xFF);
    out[6] = mos;
    out[7] = coil;
}

}  // namespace motor_wire
