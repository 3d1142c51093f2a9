#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

// A file recorded for the archive, with what stat said when it was added, as FileList hands it
// out. Its size is taken again from the descriptor it is read through, so the entry holds what
// was read.
struct FileToPack {
    const char* Path() const { return path.c_str(); }           // the file system's bytes
    const char* EntryName() const { return entryName.c_str(); } // stored exactly

    std::string path;
    std::string entryName;
    mode_t mode = 0; // permission bits only
    std::time_t modified = 0;
    // The path was a symbolic link when the file was added, and is opened through it; any other
    // path is opened without following one, so a link swapped in since is refused.
    bool throughLink = false;
};
