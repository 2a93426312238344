#pragma once

// The live view's page, its script and its style sheet.

#include <string>

namespace jointbus_detail {

// The page; `token` (hex) is what its requests that act on motors carry, empty for none.
std::string LiveViewPage(const std::string& token);
// app.js and app.css beside this file, embedded at build time (NUL-terminated).
extern const char kLiveViewScript[];
extern const char kLiveViewStyle[];

}  // namespace jointbus_detail
