#pragma once

// Symbols of libjointbus.so are hidden unless marked: only the public classes are exported.
#define JOINTBUS_API __attribute__((visibility("default")))
