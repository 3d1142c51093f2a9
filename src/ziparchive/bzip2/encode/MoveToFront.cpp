#include "ziparchive/bzip2/encode/MoveToFront.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Moves wanted, which is among the first `used` bytes of list, to the front; returns its place.
// Binary data has many large places, where a byte-by-byte walk costs a dependent load and store
// per place: with SSE2 the search and the shift go 16 bytes at a time, in one pass.
int MoveToFront(std::uint8_t* list, std::uint8_t wanted, [[maybe_unused]] int used) {
#if defined(__SSE2__)
    const __m128i target = _mm_set1_epi8(static_cast<char>(wanted));
    const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    __m128i carried = _mm_cvtsi32_si128(wanted); // the byte that enters each 16 at its front
    for (int at = 0;; at += 16) {
        auto* lane = reinterpret_cast<__m128i*>(list + at);
        const __m128i bytes = _mm_load_si128(lane);
        const __m128i shifted = _mm_or_si128(_mm_slli_si128(bytes, 1), carried);
        const int found = _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, target));
        if (found != 0) {
            // Only the bytes up to the wanted one move back; the rest stay.
            const int offset = __builtin_ctz(static_cast<unsigned>(found));
            const __m128i moved =
                _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(offset + 1)), index);
            _mm_store_si128(
                lane, _mm_or_si128(_mm_and_si128(moved, shifted), _mm_andnot_si128(moved, bytes)));
            return at + offset;
        }
        _mm_store_si128(lane, shifted);
        carried = _mm_srli_si128(bytes, 15);
    }
#else
    const void* found = std::memchr(list + 1, wanted, static_cast<std::size_t>(used - 1));
    const int place = static_cast<int>(static_cast<const std::uint8_t*>(found) - list);
    std::memmove(list + 1, list, static_cast<std::size_t>(place));
    list[0] = wanted;
    return place;
#endif
}

} // namespace

void MoveToFrontCode(const std::uint8_t* last, std::size_t size, const bool inUse[256],
                     std::uint16_t* symbols, SymbolCounts& counts) {
    std::uint8_t rank[256];
    // Past the bytes in use the list holds zeros; they are never reached, as every byte
    // looked up is in use.
    alignas(16) std::uint8_t list[256] = {};
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
        const int place = MoveToFront(list, wanted, used);
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
