#pragma once

#include <cstddef>
#include <cstdint>

// What the bzip2 stream format fixes, shared by the writer that joins blocks, the scanner that
// finds them and the decoder that reads them.

// "BZh" and the block size digit.
inline constexpr std::uint64_t kBzip2HeaderBits = 32;
// Every block starts with this 48-bit marker, then its CRC; the stream ends with the second,
// then the combined CRC of all blocks. Neither is byte-aligned past the first block.
inline constexpr std::uint64_t kBzip2BlockMarker = 0x314159265359;
inline constexpr std::uint64_t kBzip2EndMarker = 0x177245385090;
inline constexpr std::uint64_t kBzip2MarkerBits = 48;

// The 32 bits at `bit` of the `size` bytes, most significant first; bits past the end read as 0.
inline std::uint32_t ReadBits32(const unsigned char* bytes, std::size_t size, std::uint64_t bit) {
    const unsigned shift = static_cast<unsigned>(bit % 8);
    std::uint64_t window = 0;
    for (std::uint64_t i = bit / 8; i < bit / 8 + 5; ++i)
        window = (window << 8) | (i < size ? bytes[i] : 0);
    return static_cast<std::uint32_t>(window >> (8 - shift));
}

// The 48 bits at `bit`, where a marker would be; bits past the end read as 0.
inline std::uint64_t ReadMarker(const unsigned char* bytes, std::size_t size, std::uint64_t bit) {
    return std::uint64_t{ReadBits32(bytes, size, bit)} << 16 |
           ReadBits32(bytes, size, bit + 32) >> 16;
}

// How a stream's CRC combines its blocks' CRCs, in order.
inline std::uint32_t CombineBlockCrc(std::uint32_t combined, std::uint32_t block) {
    return ((combined << 1) | (combined >> 31)) ^ block;
}
