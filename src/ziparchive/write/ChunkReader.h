#pragma once

#include "ziparchive/write/FileToPack.h"

#include <cstddef>
#include <cstdint>

// Reads one chunk of a file for compression, checking on the way that the file is still the
// regular file of the size recorded when it was added. Opening it without blocking and checking
// the open descriptor means a FIFO or device swapped in since cannot stall the archive.
//
// Throws CZipException naming the file when it vanished, cannot be read, is no longer a regular
// file, or has grown or shrunk. The last chunk (also the empty one of an empty file) checks
// that nothing follows the recorded end.
void ReadChunk(const FileToPack& file, std::uint64_t offset, std::size_t length, bool lastChunk,
               std::uint8_t* buffer);
