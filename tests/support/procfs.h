// What this process holds, read from /proc: for the tests (and the socket fuzz target) that check
// nothing is left behind.
#pragma once

#include <dirent.h>

namespace procfs {

inline int CountEntries(const char* dir) {
    int n = 0;
    if (DIR* d = ::opendir(dir)) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] != '.') ++n;
        }
        ::closedir(d);
    }
    return n;
}

// The directory stream holds one descriptor of its own while it is read: not counted.
inline int FdCount() { return CountEntries("/proc/self/fd") - 1; }
inline int ThreadCount() { return CountEntries("/proc/self/task"); }

}  // namespace procfs
