#pragma once

// Text as a JSON string, quotes included: quotes and backslashes escaped, control characters
// as \u escapes. Header-only, for the library and its tools.

#include <fmt/format.h>

#include <string>

namespace jointbus_detail {

inline std::string JsonText(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            out += fmt::format("\\u{:04x}", c);
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

}  // namespace jointbus_detail
