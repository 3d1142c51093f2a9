#pragma once

#include "ziparchive/fs/UniqueFd.h"
#include "ziparchive/write/FileToPack.h"

#include <cstddef>
#include <cstdint>
#include <string>

// A file opened once for packing: every chunk of it is read through this one descriptor, so a
// file renamed over meanwhile still gives the bytes of the one that was opened.
struct OpenedFile {
    UniqueFd fd;
    std::uint64_t size = 0; // as fstat gave it when the file was opened
    std::string failure;    // set when it could not be opened; then fd is closed
};

// Opens the file without blocking (a FIFO or device swapped in since cannot stall the archive)
// and checks that it is still a regular file. A failure is kept in the result, naming the file.
OpenedFile OpenForPacking(const FileToPack& file);

// What one chunk's read found.
struct ChunkRead {
    std::size_t length = 0;   // bytes read; fewer than asked when the file has become shorter
    bool moreFollows = false; // the last chunk only: the file goes on past the size it had
};

// Reads up to length bytes at offset. For the last chunk (also the empty one of an empty
// file) it also looks whether anything follows. Throws CZipException naming the file when a
// read fails.
ChunkRead ReadChunk(const FileToPack& file, const OpenedFile& opened, std::uint64_t offset,
                    std::size_t length, bool lastChunk, std::uint8_t* buffer);
