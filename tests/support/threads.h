#pragma once

// Threads of this process, for tests that check that every thread an object started has
// ended with it.

#include <dirent.h>

namespace testsupport {

inline int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

}  // namespace testsupport
