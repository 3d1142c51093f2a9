#pragma once

#include "ziparchive/bzip2/encode/MoveToFront.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The Huffman stage: the symbols are coded in groups of 50, each group with whichever of 2 to 6
// tables codes it shortest. Tables and the choice of table per group are refined together a few
// times, each table rebuilt from the groups that chose it.
inline constexpr int kGroupSize = 50;
inline constexpr int kMaxTables = 6;
// The format allows codes of up to 20 bits; the decoders in the field are tested with 17.
inline constexpr int kMaxCodeLength = 17;

struct HuffmanPlan {
    int tables = 0;
    std::vector<std::uint8_t> selectors; // one table per group of kGroupSize symbols
    std::uint8_t lengths[kMaxTables][kMaxAlphabet] = {};
};

// Code lengths of a complete prefix code for alphabet symbols (2 to kMaxAlphabet), none longer
// than maxLength: every symbol gets a code, unused ones too, as the format needs.
void BuildCodeLengths(const std::uint32_t* frequency, int alphabet, int maxLength,
                      std::uint8_t* lengths);

// Chooses the tables and each group's table into plan. spare is a second plan to work in; what
// it holds afterwards is of no use.
void PlanHuffmanTables(const std::uint16_t* symbols, const SymbolCounts& counts, HuffmanPlan& plan,
                       HuffmanPlan& spare);
