#pragma once

#include "ziparchive/bzip2/encode/HuffmanTables.h"
#include "ziparchive/bzip2/encode/RotationSort.h"

#include <cstddef>
#include <cstdint>
#include <memory>

struct CompressedBlock;

// Compresses a chunk into a bzip2 stream of exactly one block at block size 9: the first
// run-length stage, the block sort, move-to-front with zero runs, the Huffman tables and the bit
// stream. One per thread; it keeps its arrays (about 9 bytes per input byte) between chunks.
class Bzip2BlockEncoder {
public:
    // The most bytes a level-9 block holds after the first run-length stage.
    static constexpr std::size_t MaxBlock = 899'981;
    // The largest input that always fits: that stage grows data by at most 5/4.
    static constexpr std::size_t MaxInput = MaxBlock / 5 * 4;

    Bzip2BlockEncoder();
    ~Bzip2BlockEncoder();
    Bzip2BlockEncoder(const Bzip2BlockEncoder&) = delete;
    Bzip2BlockEncoder& operator=(const Bzip2BlockEncoder&) = delete;

    // Takes 1 to MaxInput bytes. Writes the stream into block.stream, which holds
    // block.capacity bytes, and sets its length, the block's bits and its CRC. False for any
    // other size, or when the stream would not fit; the block is then left unusable.
    bool Encode(const std::uint8_t* data, std::size_t size, CompressedBlock& block);

private:
    std::size_t RunLengthStage(const std::uint8_t* data, std::size_t size);

    std::unique_ptr<std::uint8_t[]> m_block; // after the run-length stage
    std::unique_ptr<std::uint8_t[]> m_last;  // the sorted rotations' last column
    std::unique_ptr<std::uint16_t[]> m_symbols;
    bool m_inUse[256] = {};
    RotationSort m_sort;
    SymbolCounts m_counts;
    HuffmanPlan m_plan;
    HuffmanPlan m_sparePlan;
};
