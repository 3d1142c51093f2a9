#include "ziparchive/bzip2/encode/MoveToFront.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TARVO_MOVE_BY_32
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
struct MoveBy16 {
    int operator()(std::uint8_t* list, std::uint8_t wanted, [[maybe_unused]] int used) const {
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
                _mm_store_si128(lane, _mm_or_si128(_mm_and_si128(moved, shifted),
                                                   _mm_andnot_si128(moved, bytes)));
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
};

#if defined(TARVO_MOVE_BY_32)
// The same 32 bytes at a time, on processors that have AVX2: places of 16 and more, common in
// binary data, take half the steps.
struct MoveBy32 {
    __attribute__((target("avx2"))) int operator()(std::uint8_t* list, std::uint8_t wanted,
                                                   int) const {
        const __m256i target = _mm256_set1_epi8(static_cast<char>(wanted));
        const __m256i index =
            _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                             20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
        __m256i carried = _mm256_set_epi64x(0, 0, 0, wanted);
        for (int at = 0;; at += 32) {
            auto* lane = reinterpret_cast<__m256i*>(list + at);
            const __m256i bytes = _mm256_load_si256(lane);
            // One byte later across the two halves: the low half's last byte enters the high.
            const __m256i lowHalfUp = _mm256_permute2x128_si256(bytes, bytes, 0x08);
            const __m256i shifted =
                _mm256_or_si256(_mm256_alignr_epi8(bytes, lowHalfUp, 15), carried);
            const int found = _mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, target));
            if (found != 0) {
                const int offset = __builtin_ctz(static_cast<unsigned>(found));
                const __m256i moved =
                    _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(offset + 1)), index);
                _mm256_store_si256(lane, _mm256_blendv_epi8(bytes, shifted, moved));
                return at + offset;
            }
            _mm256_store_si256(lane, shifted);
            carried = _mm256_srli_si256(_mm256_permute2x128_si256(bytes, bytes, 0x81), 15);
        }
    }
};
#endif

// Where the run of equal bytes that starts at `from` ends. Eight bytes are compared at a time:
// after the block sort, long runs are common.
std::size_t RunEnd(const std::uint8_t* bytes, std::size_t from, std::size_t size) {
    const std::uint8_t byte = bytes[from];
    std::size_t at = from + 1;
    if constexpr (std::endian::native == std::endian::little) {
        const std::uint64_t pattern = 0x0101010101010101u * byte;
        for (; at + 8 <= size; at += 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + at, sizeof word);
            if (const std::uint64_t differ = word ^ pattern)
                return at + static_cast<std::size_t>(std::countr_zero(differ)) / 8;
        }
    }
    while (at < size && bytes[at] == byte)
        ++at;
    return at;
}

// Inlined into each caller, so that a caller built for AVX2 inlines MoveBy32 too.
template <typename Move>
[[gnu::always_inline]] inline void Code(const std::uint8_t* last, std::size_t size,
                                        const bool inUse[256], std::uint16_t* symbols,
                                        SymbolCounts& counts, Move moveToFront) {
    // The list holds the bytes in use themselves, in ascending order at first, so a byte's
    // place needs no lookup. Past them it holds zeros; they are never reached, as every byte
    // looked up is in use and so found earlier.
    alignas(32) std::uint8_t list[256] = {};
    int used = 0;
    for (int byte = 0; byte < 256; ++byte) {
        if (inUse[byte])
            list[used++] = static_cast<std::uint8_t>(byte);
    }
    std::uint32_t* frequency = counts.frequency;
    for (int s = 0; s < kMaxAlphabet; ++s)
        frequency[s] = 0;

    // A run of one byte in the last column is one move to the front, unless the byte is there
    // already, and then a run of place zero: the block is taken run by run.
    std::uint16_t* out = symbols;
    for (std::size_t i = 0; i < size;) {
        const std::uint8_t byte = last[i];
        const std::size_t end = RunEnd(last, i, size);
        std::uint32_t run = static_cast<std::uint32_t>(end - i);
        if (list[0] != byte) {
            const int place = moveToFront(list, byte, used);
            *out++ = static_cast<std::uint16_t>(place + 1);
            ++frequency[place + 1];
            --run;
        }
        if (run > 0)
            out = PutRun(run, out, frequency);
        i = end;
    }
    const int endOfBlock = used + 1;
    *out++ = static_cast<std::uint16_t>(endOfBlock);
    ++frequency[endOfBlock];
    counts.count = static_cast<std::size_t>(out - symbols);
    counts.alphabet = used + 2;
}

#if defined(TARVO_MOVE_BY_32)
__attribute__((target("avx2"))) void CodeWithAvx2(const std::uint8_t* last, std::size_t size,
                                                  const bool inUse[256], std::uint16_t* symbols,
                                                  SymbolCounts& counts) {
    Code(last, size, inUse, symbols, counts, MoveBy32{});
}
#endif

} // namespace

void MoveToFrontCode(const std::uint8_t* last, std::size_t size, const bool inUse[256],
                     std::uint16_t* symbols, SymbolCounts& counts) {
#if defined(TARVO_MOVE_BY_32)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return CodeWithAvx2(last, size, inUse, symbols, counts);
#endif
    Code(last, size, inUse, symbols, counts, MoveBy16{});
}
