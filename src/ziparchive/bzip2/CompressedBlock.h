#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// One chunk of a file compressed as a bzip2 stream of exactly one block, ready to be joined
// with the blocks of the other chunks of that file.
struct CompressedBlock {
    // The whole one-block stream as libbz2 wrote it; only the first streamLength bytes count.
    // The buffer is kept when a block object is reused. It is left uninitialised: zero-filling
    // it would fault in all of it, where a small file's stream touches a page or two.
    std::unique_ptr<std::uint8_t[]> stream;
    std::size_t capacity = 0;
    std::size_t streamLength = 0;
    // The block's bits start right after the 4-byte stream header, so byte-aligned at bit 32;
    // this many bits belong to it, up to the end-of-stream marker.
    std::uint64_t blockBits = 0;
    std::uint32_t blockCrc = 0;
};
