#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

// A file recorded for the archive, with what stat said when it was added. Its size is taken
// again from the descriptor it is read through, so the entry holds what was read.
class FileToPack {
public:
    FileToPack(const std::string& path, const std::string& entryName, mode_t mode,
               std::time_t modified, bool throughLink);

    const char* Path() const { return m_bytes.c_str(); } // the file system's bytes
    const char* EntryName() const { return m_bytes.c_str() + m_nameOffset; } // stored exactly

    std::uint64_t size = 0; // as stat gave it: the progress total, not what is stored
    mode_t mode = 0;        // permission bits only
    std::time_t modified = 0;
    // The path was a symbolic link when the file was added, and is opened through it; any other
    // path is opened without following one, so a link swapped in since is refused.
    bool throughLink = false;

private:
    // The path, then, after a NUL, the entry name, unless the path already ends with it as the
    // path of every file in a folder does: one small allocation a file, since a folder may hold
    // millions of them.
    std::string m_bytes;
    std::uint32_t m_nameOffset = 0;
};
