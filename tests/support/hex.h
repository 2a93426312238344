#pragma once

// Byte strings for assertions on frames and packets: "FF FF 01 04" and back.

#include <cstdio>
#include <initializer_list>
#include <string>

namespace testsupport {

inline std::string Hex(const std::string& bytes) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", static_cast<unsigned char>(bytes[i]));
        s += b;
    }
    return s;
}

inline std::string Hex(const unsigned char* d, int n) {
    return Hex(std::string(reinterpret_cast<const char*>(d), size_t(n)));
}

inline std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(char(v));
    return s;
}

}  // namespace testsupport
