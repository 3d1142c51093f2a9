#pragma once

#include <cstddef>
#include <cstdint>

// The block's last column as the symbols the Huffman stage codes: each byte's place in a list
// of the bytes in use, moved to the front when used, with runs of the front byte (place zero)
// written as a bijective base-2 number in the digits RUNA (1) and RUNB (2), and an end-of-block
// symbol last.
inline constexpr int kRunA = 0;
inline constexpr int kRunB = 1;
inline constexpr int kMaxAlphabet = 258;

struct SymbolCounts {
    std::size_t count = 0; // symbols written, the end of block included
    int alphabet = 0;      // the bytes in use plus two
    std::uint32_t frequency[kMaxAlphabet] = {};
};

// inUse marks the bytes that occur in last. symbols must hold size + 1 entries.
void MoveToFrontCode(const std::uint8_t* last, std::size_t size, const bool inUse[256],
                     std::uint16_t* symbols, SymbolCounts& counts);
