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
    // `level` (1 to 9, in 100,000 bytes), as far as its last stage: Produce hands out its bytes.
    // False when the block is refused.
    bool Decode(const unsigned char* bytes, std::size_t size, std::uint64_t bit, int level,
                Block& block);

    enum class Produced {
        More,    // `most` bytes were appended and the block holds more
        Done,    // the block is all out and its CRC matches
        Refused, // the block ends wrongly or its CRC does not match
    };
    // Appends up to `most` more bytes of the decoded block to `out`. A block may expand to about
    // fifty times its nominal size (runs of one byte), so its bytes come out in pieces of the
    // caller's choosing rather than all at once.
    Produced Produce(std::vector<char>& out, std::size_t most);

private:
    bool DecodeSymbols(std::uint64_t& bit, std::uint64_t endBit, const unsigned char* bytes,
                       int level);
    bool Untransform(std::uint32_t origin);

    struct Scratch;
    std::unique_ptr<Scratch> m_scratch; // Huffman tables and selectors
    // Allocated without being filled, so that small blocks touch only the memory they use.
    std::unique_ptr<std::uint32_t[]> m_tt;   // the symbols, then the inverse transform's links
    std::unique_ptr<unsigned char[]> m_text; // the block before the run-length stage is undone
    std::uint32_t m_capacity = 0;            // of m_tt and m_text
    std::uint32_t m_count = 0;               // symbols in the block
    std::uint32_t m_byteCounts[256] = {};
    // Where Produce stands in the decoded block.
    std::uint32_t m_at = 0;      // the next byte of m_text
    int m_previous = -1;         // the last byte written, -1 after a run
    int m_repeats = 0;           // how often it was written in a row
    std::uint32_t m_run = 0;     // bytes of a run still to write
    unsigned char m_runByte = 0; // the byte they repeat
    std::uint32_t m_crc = 0;     // the block CRC so far, not yet inverted
    std::uint32_t m_storedCrc = 0;
};

// Bytes the decoder may read past the data it is given.
constexpr std::size_t kBzip2ReadSlack = 8;
