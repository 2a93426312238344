#pragma once

// Damiao CAN frames: pure encoding and decoding, no I/O. Values are packed into fixed-point
// fields scaled to the motor model's ranges; every packed value is saturated to its range,
// so a value just past one end can never wrap around to the other end.

#include <cmath>
#include <cstdint>
#include <cstring>

namespace Damiao {

// Value ranges of one motor model (minimum, maximum), and the maximum speed used by the ramp.
struct Ranges {
    double P_MIN = 0, P_MAX = 0;
    double V_MIN = 0, V_MAX = 0;
    double T_MIN = 0, T_MAX = 0;
    double KP_MIN = 0, KP_MAX = 0;
    double KD_MIN = 0, KD_MAX = 0;
    double maxSpeed = 0;
};

// Fills the ranges of a known model (4310, 4340, 6006); false, with all ranges 0, otherwise.
inline bool RangesForModel(int model, Ranges& r) {
    r = Ranges{};
    double v, t, speed;
    switch (model) {
        case 4310:
            v = 30, t = 10, speed = 12.56;
            break;
        case 4340:
            v = 10, t = 28, speed = 3.768;
            break;
        case 6006:
            v = 45, t = 10, speed = 15.7;
            break;
        default:
            return false;
    }
    r.P_MIN = -12.5, r.P_MAX = 12.5;
    r.V_MIN = -v, r.V_MAX = v;
    r.T_MIN = -t, r.T_MAX = t;
    r.KP_MIN = 0, r.KP_MAX = 500;
    r.KD_MIN = 0, r.KD_MAX = 5;
    r.maxSpeed = speed;
    return true;
}

// Packs x into `bits` bits over [x_min, x_max], in single precision, truncating toward zero.
// Values outside the range are saturated to its ends; NaN packs as x_min. An empty range
// (x_max <= x_min) packs as 0.
inline unsigned int FloatToUint(float x, float x_min, float x_max, int bits) {
    if (!(x_max > x_min)) return 0;
    if (!(x >= x_min)) x = x_min;  // also catches NaN
    if (x > x_max) x = x_max;
    const float span = float((1u << bits) - 1);
    return static_cast<unsigned int>(span * (x - x_min) / (x_max - x_min));
}

inline float UintToFloat(int x_int, float x_min, float x_max, int bits) {
    const float span = float((1u << bits) - 1);
    return x_min + (float(x_int) * (x_max - x_min)) / span;
}

// MIT impedance frame: position 16 bits, then velocity, kp, kd, torque as 12-bit fields.
inline void EncodeMit(const Ranges& r, float p, float v, float kp, float kd, float t,
                      uint8_t out[8]) {
    const unsigned P = FloatToUint(p, float(r.P_MIN), float(r.P_MAX), 16);
    const unsigned V = FloatToUint(v, float(r.V_MIN), float(r.V_MAX), 12);
    const unsigned KP = FloatToUint(kp, float(r.KP_MIN), float(r.KP_MAX), 12);
    const unsigned KD = FloatToUint(kd, float(r.KD_MIN), float(r.KD_MAX), 12);
    const unsigned T = FloatToUint(t, float(r.T_MIN), float(r.T_MAX), 12);
    out[0] = uint8_t(P >> 8);
    out[1] = uint8_t(P);
    out[2] = uint8_t(V >> 4);
    out[3] = uint8_t(((V & 0xF) << 4) | (KP >> 8));
    out[4] = uint8_t(KP);
    out[5] = uint8_t(KD >> 4);
    out[6] = uint8_t(((KD & 0xF) << 4) | (T >> 8));
    out[7] = uint8_t(T);
}

inline void PutFloatLE(float f, uint8_t* out) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    for (int i = 0; i < 4; ++i) out[i] = uint8_t(bits >> (8 * i));
}

inline float GetFloatLE(const uint8_t* in) {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= uint32_t(in[i]) << (8 * i);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// Saturates x to [lo, hi]; NaN becomes 0, the value that commands nothing.
inline float Clamp(float x, double lo, double hi) {
    if (std::isnan(x)) return 0.0f;
    if (x < float(lo)) return float(lo);
    if (x > float(hi)) return float(hi);
    return x;
}

// Position-speed frame: position and velocity as little-endian IEEE single floats (8 bytes),
// saturated to the model's ranges.
inline void EncodePosSpeed(const Ranges& r, float p, float v, uint8_t out[8]) {
    PutFloatLE(Clamp(p, r.P_MIN, r.P_MAX), out);
    PutFloatLE(Clamp(v, r.V_MIN, r.V_MAX), out + 4);
}

// Speed frame: the velocity as a little-endian IEEE single float (4 bytes), saturated.
inline void EncodeSpeed(const Ranges& r, float v, uint8_t out[4]) {
    PutFloatLE(Clamp(v, r.V_MIN, r.V_MAX), out);
}

// Last byte of the special frames; bytes 0-6 are 0xFF.
enum SpecialFrame : uint8_t {
    kEnable = 0xFC,
    kDisable = 0xFD,
    kSaveZero = 0xFE,
    kClearError = 0xFB
};

inline void EncodeSpecial(SpecialFrame kind, uint8_t out[8]) {
    std::memset(out, 0xFF, 7);
    out[7] = kind;
}

// Control modes; each is also the offset of its frames' CAN id.
enum Mode : uint32_t { kMit = 0, kPosSpeed = 0x100, kSpeed = 0x200 };

// Register requests travel on CAN id 0x7FF as [id_lo, id_hi, cmd, rid, d0, d1, d2, d3], with
// the motor's command id in bytes 0-1. The motor answers a read (and usually a write) on its
// feedback id in the same layout, the value in d0..d3 little-endian.
constexpr uint32_t kRegisterCanId = 0x7FF;
enum RegisterCommand : uint8_t {
    kRegisterRead = 0x33,
    kRegisterWrite = 0x55,
    kRegisterStore = 0xAA
};

inline void EncodeRegisterRequest(uint32_t commandId, RegisterCommand cmd, uint8_t rid,
                                  uint32_t value, uint8_t out[8]) {
    out[0] = uint8_t(commandId);
    out[1] = uint8_t(commandId >> 8);
    out[2] = cmd;
    out[3] = rid;
    for (int i = 0; i < 4; ++i) out[4 + i] = uint8_t(value >> (8 * i));
}

// A store request: cmd 0xAA with register byte 0x01 and no value.
inline void EncodeRegisterStore(uint32_t commandId, uint8_t out[8]) {
    EncodeRegisterRequest(commandId, kRegisterStore, 0x01, 0, out);
}

// True when `d` answers a read (or echoes a write) of register `rid` of the motor with this
// command id.
inline bool IsRegisterReply(const uint8_t d[8], uint32_t commandId, RegisterCommand cmd,
                            uint8_t rid) {
    return d[0] == uint8_t(commandId) && d[1] == uint8_t(commandId >> 8) && d[2] == cmd &&
           d[3] == rid;
}

// True when `d` is any register answer of that motor: not feedback, though it arrives on the
// feedback id.
inline bool IsAnyRegisterReply(const uint8_t d[8], uint32_t commandId) {
    return d[0] == uint8_t(commandId) && d[1] == uint8_t(commandId >> 8) &&
           (d[2] == kRegisterRead || d[2] == kRegisterWrite);
}

inline uint32_t RegisterValue(const uint8_t d[8]) {
    return uint32_t(d[4]) | uint32_t(d[5]) << 8 | uint32_t(d[6]) << 16 | uint32_t(d[7]) << 24;
}

// CTRL_MODE counts the modes from 1 (MIT, position-speed, speed, force-position); the frames
// of mode n go to the command id plus (n - 1) * 0x100. 0 for a register value out of range.
inline uint32_t ModeRegisterOf(uint32_t offset) {
    return offset <= 0x300 && (offset & 0xFF) == 0 ? (offset >> 8) + 1 : 0;
}
inline bool ModeOffsetOf(uint32_t reg, uint32_t& offset) {
    if (reg < 1 || reg > 4) return false;
    offset = (reg - 1) << 8;
    return true;
}

struct Feedback {
    int state = 0;  // 0 disabled, 1 enabled, above 7 a fault
    float position = 0, velocity = 0, torque = 0;
    int temperature = 0;
};

inline Feedback DecodeFeedback(const Ranges& r, const uint8_t d[8]) {
    Feedback fb;
    fb.state = d[0] >> 4;
    const int pos = (d[1] << 8) | d[2];
    const int vel = (d[3] << 4) | (d[4] >> 4);
    const int tq = ((d[4] & 0xF) << 8) | d[5];
    fb.position = UintToFloat(pos, float(r.P_MIN), float(r.P_MAX), 16);
    fb.velocity = UintToFloat(vel, float(r.V_MIN), float(r.V_MAX), 12);
    fb.torque = UintToFloat(tq, float(r.T_MIN), float(r.T_MAX), 12);
    fb.temperature = d[7];
    return fb;
}

// State 0 with bytes 1 to 7 all 0xFF: the motor lost and regained power; its angle is invalid.
inline bool IsPowerLoss(const uint8_t d[8]) {
    if ((d[0] >> 4) != 0) return false;
    for (int i = 1; i < 8; ++i)
        if (d[i] != 0xFF) return false;
    return true;
}

// Encodes a feedback frame (the motor's side), saturating like the command encoders.
inline void EncodeFeedback(const Ranges& r, int state, float p, float v, float t, int temperature,
                           uint8_t out[8]) {
    const unsigned P = FloatToUint(p, float(r.P_MIN), float(r.P_MAX), 16);
    const unsigned V = FloatToUint(v, float(r.V_MIN), float(r.V_MAX), 12);
    const unsigned T = FloatToUint(t, float(r.T_MIN), float(r.T_MAX), 12);
    out[0] = uint8_t((state & 0xF) << 4);
    out[1] = uint8_t(P >> 8);
    out[2] = uint8_t(P);
    out[3] = uint8_t(V >> 4);
    out[4] = uint8_t(((V & 0xF) << 4) | (T >> 8));
    out[5] = uint8_t(T);
    out[6] = 0;
    out[7] = uint8_t(temperature);
}

// Decodes an MIT frame (the motor's side).
struct MitCommand {
    float p, v, kp, kd, t;
};

inline MitCommand DecodeMit(const Ranges& r, const uint8_t d[8]) {
    const int P = (d[0] << 8) | d[1];
    const int V = (d[2] << 4) | (d[3] >> 4);
    const int KP = ((d[3] & 0xF) << 8) | d[4];
    const int KD = (d[5] << 4) | (d[6] >> 4);
    const int T = ((d[6] & 0xF) << 8) | d[7];
    return {UintToFloat(P, float(r.P_MIN), float(r.P_MAX), 16),
            UintToFloat(V, float(r.V_MIN), float(r.V_MAX), 12),
            UintToFloat(KP, float(r.KP_MIN), float(r.KP_MAX), 12),
            UintToFloat(KD, float(r.KD_MIN), float(r.KD_MAX), 12),
            UintToFloat(T, float(r.T_MIN), float(r.T_MAX), 12)};
}

}  // namespace Damiao
