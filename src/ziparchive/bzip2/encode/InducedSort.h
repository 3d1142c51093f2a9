#pragma once

#include <cstddef>
#include <cstdint>

// The suffix array of a byte string by induced sorting: suffixes in lexicographic order, a
// suffix that is a prefix of another first, as a general suffix sorter orders them. Linear in
// the size, with work per call that grows with the alphabet (256) rather than with its square:
// on the small blocks of small files that fixed work is most of a general sorter's time.
// size is at least 1; order receives size positions.
void InducedSuffixArray(const std::uint8_t* text, std::int32_t* order, std::size_t size);
