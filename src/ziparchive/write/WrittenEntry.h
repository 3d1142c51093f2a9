#pragma once

#include <cstdint>

// What the central directory needs of an entry once its data is written, kept for every entry
// until the directory is: a folder may hold millions. The name, the mode and the time stay in
// the FileList; this adds 40 bytes.
struct WrittenEntry {
    std::uint64_t offset = 0; // of its local header
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t dosDateTime = 0;
    bool utf8Name = false;
};

static_assert(sizeof(WrittenEntry) <= 40);
