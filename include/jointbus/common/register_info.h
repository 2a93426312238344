#pragma once

// Device registers for commissioning: a description of each register a tool may show or
// change, looking one up by name or number, and converting its value between text and the
// raw bits that travel. Pure, header-only, shared by both motor families.

#include <fmt/format.h>
#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace jointbus {

enum class RegisterKind {
    kUnsigned,  // an unsigned integer of `width` bytes
    kSigned,    // sign-magnitude in `width` bytes, the sign in bit `signBit` (Feetech)
    kFloat,     // an IEEE single (4 bytes)
};

struct RegisterInfo {
    int address;
    const char* name;
    RegisterKind kind;
    int width;  // bytes
    bool writable;
    bool persistent;  // kept by the device over a power cycle once stored (EEPROM/flash)
    double min, max;  // the values a write may carry
    const char* meaning;
    int signBit = 0;  // kSigned: the sign's bit; 0 means the top bit of `width` bytes

    uint32_t SignMask() const { return 1u << (signBit > 0 ? signBit : 8 * width - 1); }
};

// The register of `table` named `text` (case-insensitive) or numbered `text` (decimal or
// 0x hex); nullptr when there is none.
template <size_t N>
const RegisterInfo* FindRegister(const RegisterInfo (&table)[N], const std::string& text) {
    for (const auto& r : table)
        if (strcasecmp(r.name, text.c_str()) == 0) return &r;
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || errno != 0 || end == nullptr || *end != '\0') return nullptr;
    for (const auto& r : table)
        if (r.address == number) return &r;
    return nullptr;
}

// Reads `text` as a value of `r` into its raw bits; false with the reason in `error` when it
// is not a number, not whole where the register is an integer, or outside [min, max].
inline bool ParseRegisterValue(const RegisterInfo& r, const std::string& text, uint32_t& raw,
                               std::string& error) {
    char* end = nullptr;
    errno = 0;
    const double value = r.kind == RegisterKind::kFloat
                             ? std::strtod(text.c_str(), &end)
                             : double(std::strtoll(text.c_str(), &end, 0));
    if (text.empty() || errno != 0 || end == nullptr || *end != '\0' || !std::isfinite(value)) {
        error = fmt::format("'{}' is not a {} value for {}", text,
                            r.kind == RegisterKind::kFloat ? "number" : "whole-number", r.name);
        return false;
    }
    if (value < r.min || value > r.max) {
        error = fmt::format("{} is out of range for {} ({} to {})", text, r.name, r.min, r.max);
        return false;
    }
    if (r.kind == RegisterKind::kFloat) {
        const float f = float(value);
        std::memcpy(&raw, &f, sizeof raw);
    } else if (r.kind == RegisterKind::kSigned && value < 0) {
        raw = uint32_t(-value) | r.SignMask();
    } else {
        raw = uint32_t(value);
    }
    return true;
}

inline double RegisterValueOf(const RegisterInfo& r, uint32_t raw);

// True when `r` may be written with these raw bits: it is writable and the value they carry
// lies within [min, max].
inline bool AcceptsWrite(const RegisterInfo& r, uint32_t raw) {
    const double value = RegisterValueOf(r, raw);
    return r.writable && value >= r.min && value <= r.max;
}

// The value of raw bits as a number.
inline double RegisterValueOf(const RegisterInfo& r, uint32_t raw) {
    if (r.kind == RegisterKind::kFloat) {
        float f;
        std::memcpy(&f, &raw, sizeof f);
        return f;
    }
    if (r.kind == RegisterKind::kSigned) {
        const uint32_t sign = r.SignMask();
        return raw & sign ? -double(raw & (sign - 1)) : double(raw);
    }
    return double(raw);
}

inline std::string FormatRegisterValue(const RegisterInfo& r, uint32_t raw) {
    const double v = RegisterValueOf(r, raw);
    return r.kind == RegisterKind::kFloat ? fmt::format("{:g}", v)
                                          : fmt::format("{}", static_cast<long long>(v));
}

}  // namespace jointbus
