#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// Decodes single bzip2 blocks, faster than libbz2 on the common path: table-driven Huffman
// decoding, and the inverse transform, run-length expansion and CRC in one tight loop. It is
// strict: anything unusual (randomised blocks, codes that are not complete prefix codes,
// anything out of range) is refused rather than interpreted, and the caller then lets libbz2
// decide. Every index into the block's arrays is checked, so damaged or hostile input is refused
// without reading or writing out of bounds. One decoder per thread; it keeps its arrays between
// blocks.
class Bzip2BlockDecoder {
public:
    Bzip2BlockDecoder();
    ~Bzip2BlockDecoder();
    Bzip2BlockDecoder(const Bzip2BlockDecoder&) = delete;
    Bzip2BlockDecoder& operator=(const Bzip2BlockDecoder&) = delete;

    struct Block {
        std::uint32_t storedCrc = 0; // the CRC the block header declares
        std::uint64_t endBit = 0;    // the bit just past the block
    };

    // Decodes the block whose marker starts at `bit` of `bytes` (the first `size` bytes hold
    // data; at least 8 more must be readable, their values ignored), for the block size
    // `level` (1 to 9, in 100,000 bytes), appending its bytes to `out` as long as `out` stays
    // within `limit` bytes. False when the block is refused; `out` then holds a partial result.
    bool Decode(const unsigned char* bytes, std::size_t size, std::uint64_t bit, int level,
                std::uint64_t limit, std::vector<char>& out, Block& block);

private:
    bool DecodeSymbols(std::uint64_t& bit, std::uint64_t endBit, const unsigned char* bytes,
                       int level);
    bool Expand(std::uint32_t origin, std::uint64_t limit, std::vector<char>& out,
                std::uint32_t& crc);

    struct Scratch;
    std::unique_ptr<Scratch> m_scratch; // Huffman tables and selectors
    std::vector<std::uint32_t> m_tt;    // the symbols, then the inverse transform's links
    std::vector<unsigned char> m_text;  // the block before the run-length stage is undone
    std::uint32_t m_count = 0;          // symbols in the block
    std::uint32_t m_byteCounts[256] = {};
};

// Bytes the decoder may read past the data it is given.
constexpr std::size_t kBzip2ReadSlack = 8;
