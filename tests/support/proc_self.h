#pragma once

// Threads and open descriptors of this process, for tests that check that an object leaves
// none of its own behind.

#include <dirent.h>

namespace testsupport {

// Entries of a folder under /proc/self.
inline int EntriesIn(const char* folder) {
    int n = 0;
    if (DIR* d = opendir(folder)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

inline int ThreadCount() {
    return EntriesIn("/proc/self/task");
}

// Counts the descriptor that reading the folder opens, the same on every call.
inline int OpenDescriptors() {
    return EntriesIn("/proc/self/fd");
}

}  // namespace testsupport
