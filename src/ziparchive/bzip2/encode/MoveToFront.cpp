#include "ziparchive/bzip2/encode/MoveToFront.h"

#include <cstring>

namespace {

// Writes a run of the front byte, run >= 1: bzip2's digits are worth 1 and 2 times the place
// value, least significant first.
std::uint16_t* PutRun(std::uint32_t run, std::uint16_t* out, std::uint32_t* frequency) {
    --run;
    for (;;) {
        const int digit = (run & 1) ? kRunB : kRunA;
        *out++ = static_cast<std::uint16_t>(digit);
        ++frequency[digit];
        if (run < 2)
            return out;
        run = (run - 2) / 2;
    }
}

} // namespace

void MoveToFrontCode(const std::uint8_t* last, std::size_t size, const bool inUse[256],
                     std::uint16_t* symbols, SymbolCounts& counts) {
    std::uint8_t rank[256];
    std::uint8_t list[256];
    int used = 0;
    for (int byte = 0; byte < 256; ++byte) {
        if (inUse[byte]) {
            rank[byte] = static_cast<std::uint8_t>(used);
            list[used] = static_cast<std::uint8_t>(used);
            ++used;
        }
    }
    std::uint32_t* frequency = counts.frequency;
    for (int s = 0; s < kMaxAlphabet; ++s)
        frequency[s] = 0;

    std::uint16_t* out = symbols;
    std::uint32_t run = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t wanted = rank[last[i]];
        if (list[0] == wanted) {
            ++run;
            continue;
        }
        if (run > 0) {
            out = PutRun(run, out, frequency);
            run = 0;
        }
        // Most places are small; the rest are found and shifted with the library's vector code,
        // far faster on binary data than a byte-by-byte walk.
        int place = 1;
        if (list[1] != wanted) {
            const void* found = std::memchr(list + 2, wanted, static_cast<std::size_t>(used - 2));
            place = static_cast<int>(static_cast<const std::uint8_t*>(found) - list);
        }
        std::memmove(list + 1, list, static_cast<std::size_t>(place));
        list[0] = wanted;
        *out++ = static_cast<std::uint16_t>(place + 1);
        ++frequency[place + 1];
    }
    if (run > 0)
        out = PutRun(run, out, frequency);
    const int endOfBlock = used + 1;
    *out++ = static_cast<std::uint16_t>(endOfBlock);
    ++frequency[endOfBlock];
    counts.count = static_cast<std::size_t>(out - symbols);
    counts.alphabet = used + 2;
}
