#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

// A file recorded for the archive, with what stat said when it was added. Its size then is the
// size it must still have when it is read.
struct FileToPack {
    std::string path;      // the file system's bytes
    std::string entryName; // '/'-separated, stored exactly
    std::uint64_t size = 0;
    mode_t mode = 0; // permission bits only
    std::time_t modified = 0;
};
