#pragma once

#include "ziparchive/fs/UniqueFd.h"

#include <cstdint>
#include <string>
#include <vector>

class EntryPlans;

// The destination folder of an extraction: checked for room, created when missing, and opened
// as a directory descriptor everything else is reached from. When nothing was put in it, the
// folders it created are removed again when it goes.
class ExtractionRoot {
public:
    // Throws CZipException when the entries do not fit in the free space there (or at its
    // nearest existing ancestor): their blocks, as that file system allocates them, and their
    // inodes. Throws too when it cannot be created, or when it is a symbolic link.
    ExtractionRoot(const std::string& path, const EntryPlans& plans);
    ~ExtractionRoot();
    ExtractionRoot(const ExtractionRoot&) = delete;
    ExtractionRoot& operator=(const ExtractionRoot&) = delete;

    int Fd() const { return m_fd.Get(); }
    const std::string& Path() const { return m_path; }

    // Something was extracted: the folder is the user's now.
    void MarkUsed() { m_used = true; }
    // What was extracted was taken back (a stopped run): the folders created for it go again.
    void TakeBack() { m_used = false; }

private:
    void RemoveCreated();

    std::string m_path;
    std::vector<std::string> m_created; // outermost first
    UniqueFd m_fd;
    bool m_used = false;
};
