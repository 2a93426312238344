#pragma once

// The live view's page, its script and its style sheet.

#include <string>

namespace jointbus_detail {

// The page; `token` (hex) is what its requests that act on motors carry, empty for none.
std::string LiveViewPage(const std::string& token);
extern const char* const kLiveViewScript;
extern const char* const kLiveViewStyle;

}  // namespace jointbus_detail
