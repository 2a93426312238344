#include "jointbus/common/version.h"

#include <cstdio>

#ifndef JOINTBUS_REVISION
#define JOINTBUS_REVISION "0000000"
#endif

const char* get_lib_version() {
    // Formed once; the static initialisation is thread-safe and the text is never freed.
    static const char* const line = [] {
        static char text[128];
        std::snprintf(text, sizeof text, "%s version: %s.%s.%s.%s, compile time: %s %s", "jointbus",
                      "1", "0", "0", JOINTBUS_REVISION, __DATE__, __TIME__);
        return text;
    }();
    return line;
}
