#pragma once

#include "ziparchive/write/FileToPack.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The files of an archive, in the order they were added, kept small: a folder may hold millions
// of them, and the writer's record of each written entry comes on top. A file
// keeps its last name component, its time and its mode bits; the path of its folder and the
// folder part of its entry name are kept once for the files added one after the other from the
// same folder.
class FileList {
public:
    void Add(const std::string& path, const std::string& entryName, mode_t mode,
             std::time_t modified, bool throughLink);

    std::size_t size() const { return m_modified.size(); }
    bool empty() const { return m_modified.empty(); }
    FileToPack operator[](std::size_t index) const;

private:
    // What the files from m_heads[i].firstFile on share: the start of their paths and of their
    // entry names, one after the other in m_headBytes.
    struct Head {
        std::size_t firstFile = 0;
        std::size_t start = 0;
        std::size_t pathLength = 0;
        std::size_t entryNameLength = 0;
    };
    static constexpr std::uint16_t kThroughLink = 0x8000;

    std::vector<Head> m_heads;
    std::string m_headBytes;
    std::string m_tails;                   // each file's own part, one after the other
    std::vector<std::uint64_t> m_tailEnds; // where each file's own part ends in m_tails
    std::vector<std::time_t> m_modified;
    std::vector<std::uint16_t> m_modes; // permission bits, and kThroughLink
};
