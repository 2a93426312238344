#pragma once

#include "jointbus/common/export.h"

// The library's version line, for example
// "jointbus version: 1.0.0.2da15dd, compile time: Sep 11 2024 06:37:28".
// Formed once; every call returns the same pointer.
JOINTBUS_API const char* get_lib_version();
