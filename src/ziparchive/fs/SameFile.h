#pragma once

#include <sys/stat.h>

// Whether two stat results describe the same file: a name still leads to what was opened.
inline bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
