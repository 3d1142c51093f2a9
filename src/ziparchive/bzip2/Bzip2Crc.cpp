#include "ziparchive/bzip2/Bzip2Crc.h"

#include <array>

namespace {

// Eight bytes at a time: table k advances the CRC over a byte followed by k zero bytes.
struct BlockCrcTables {
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    BlockCrcTables() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k)
                c = (c & 0x80000000u) ? (c << 1) ^ 0x04c11db7u : c << 1;
            t[0][i] = c;
        }
        for (std::size_t k = 1; k < 8; ++k) {
            for (std::uint32_t i = 0; i < 256; ++i)
                t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
        }
    }
};
const BlockCrcTables kCrc;

} // namespace

std::uint32_t UpdateBlockCrc(std::uint32_t crc, const unsigned char* p, std::size_t length) {
    const auto& t = kCrc.t;
    for (; length >= 8; length -= 8, p += 8) {
        crc ^=
            std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
        crc = t[7][crc >> 24] ^ t[6][(crc >> 16) & 0xff] ^ t[5][(crc >> 8) & 0xff] ^
              t[4][crc & 0xff] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (; length > 0; --length, ++p)
        crc = (crc << 8) ^ t[0][(crc >> 24) ^ *p];
    return crc;
}

std::uint32_t Bzip2BlockCrc(const unsigned char* bytes, std::size_t length) {
    return ~UpdateBlockCrc(0xffffffffu, bytes, length);
}
