#pragma once

#include <cstddef>
#include <cstdint>

// The CRC bzip2 keeps per block over the block's original bytes: CRC-32 with the bits taken most
// significant first, unlike zip's.
std::uint32_t Bzip2BlockCrc(const unsigned char* bytes, std::size_t length);

// The same CRC over a block that arrives in pieces: start from all ones, feed every piece, and
// invert at the end.
std::uint32_t UpdateBlockCrc(std::uint32_t crc, const unsigned char* bytes, std::size_t length);
