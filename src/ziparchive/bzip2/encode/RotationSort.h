#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The block sort: orders a block's cyclic rotations and keeps the byte before each one (the
// last column of the sorted rotations), plus where the unrotated block landed in that order.
// It keeps its arrays between blocks; one per thread.
class RotationSort {
public:
    // size is 1 to 900,000. Writes size bytes to last; returns the row of the block itself.
    std::uint32_t Sort(const std::uint8_t* block, std::size_t size, std::uint8_t* last);

private:
    std::vector<std::uint8_t> m_rotated;
    std::vector<std::int32_t> m_order;
};

// Where the lexicographically least rotation of the block starts (the first, when several tie).
std::size_t LeastRotation(const std::uint8_t* block, std::size_t size);
