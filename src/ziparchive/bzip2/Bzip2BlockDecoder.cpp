#include "ziparchive/bzip2/Bzip2BlockDecoder.h"

#include "ziparchive/bzip2/Bzip2Crc.h"
#include "ziparchive/bzip2/Bzip2Format.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kMaxGroups = 6;
constexpr int kMinGroups = 2;
constexpr int kMaxAlphabet = 258;
constexpr int kMaxCodeLength = 20;
constexpr int kMaxSelectors = 18002;
constexpr int kGroupSize = 50;
constexpr int kTableBits = 10;
constexpr std::uint32_t kRunLimit = 2 * 1024 * 1024;

// Reads bits most significant first from a buffer with readable slack past its end.
class BitReader {
public:
    BitReader(const unsigned char* bytes, std::uint64_t bit, std::uint64_t endBit)
        : m_bytes(bytes), m_bit(bit), m_endBit(endBit) {}

    // The next n bits (n at most 32) without consuming them; bits past the end read as slack.
    std::uint32_t Peek(int n) const {
        if (m_bit > m_endBit)
            return 0; // already overrun: nothing past the slack is touched
        std::uint64_t word;
        std::memcpy(&word, m_bytes + (m_bit >> 3), sizeof word);
        if constexpr (std::endian::native == std::endian::little)
            word = __builtin_bswap64(word);
        word <<= (m_bit & 7);
        return static_cast<std::uint32_t>(word >> (64 - n));
    }
    void Skip(int n) { m_bit += static_cast<std::uint64_t>(n); }
    std::uint32_t Take(int n) {
        const std::uint32_t value = Peek(n);
        Skip(n);
        return value;
    }
    bool Overrun() const { return m_bit > m_endBit; }
    std::uint64_t Position() const { return m_bit; }

private:
    const unsigned char* m_bytes;
    std::uint64_t m_bit;
    std::uint64_t m_endBit;
};

// One Huffman table of a block: codes up to kTableBits long resolve with one lookup, longer ones
// by the canonical limits.
struct HuffmanTable {
    // Entry: symbol << 5 | length; length 0 marks a prefix of a longer code.
    std::array<std::uint16_t, 1u << kTableBits> fast{};
    std::array<std::int32_t, kMaxCodeLength + 2> limit{}; // largest code of each length
    std::array<std::int32_t, kMaxCodeLength + 2> offset{};
    std::array<std::uint16_t, kMaxAlphabet> sorted{};
    int maxLength = 0;

    // Builds the canonical code bzip2 assigns; false unless the lengths make a complete prefix
    // code (an encoder never writes anything else).
    bool Build(const std::uint8_t* lengths, int alphabet) {
        int count[kMaxCodeLength + 1] = {};
        maxLength = 0;
        for (int i = 0; i < alphabet; ++i) {
            ++count[lengths[i]];
            maxLength = std::max(maxLength, static_cast<int>(lengths[i]));
        }
        std::int64_t code = 0;
        int index = 0;
        int start[kMaxCodeLength + 2] = {};
        for (int length = 1; length <= kMaxCodeLength; ++length) {
            start[length] = index;
            offset[length] = index - static_cast<std::int32_t>(code);
            code += count[length];
            index += count[length];
            limit[length] = static_cast<std::int32_t>(code) - 1;
            if (code > (std::int64_t{1} << length))
                return false; // oversubscribed
            code <<= 1;
        }
        if (code != (std::int64_t{1} << (kMaxCodeLength + 1)))
            return false; // incomplete
        int next[kMaxCodeLength + 2];
        std::copy(std::begin(start), std::end(start), next);
        for (int i = 0; i < alphabet; ++i)
            sorted[static_cast<std::size_t>(next[lengths[i]]++)] = static_cast<std::uint16_t>(i);
        fast.fill(0);
        std::uint32_t value = 0;
        int at = 0;
        for (int length = 1; length <= kMaxCodeLength; ++length) {
            for (int k = 0; k < count[length]; ++k, ++at, ++value) {
                if (length > kTableBits)
                    continue;
                const std::uint32_t first = value << (kTableBits - length);
                const std::uint32_t last = (value + 1) << (kTableBits - length);
                const auto entry =
                    static_cast<std::uint16_t>(sorted[static_cast<std::size_t>(at)] << 5 | length);
                for (std::uint32_t e = first; e < last; ++e)
                    fast[e] = entry;
            }
            value <<= 1;
        }
        return true;
    }

    // Decodes the symbol whose code starts `window` (at least kMaxCodeLength bits of it are the
    // block's) and sets `length` to the code's length; -1 when the bits match no code.
    int Decode(std::uint64_t window, int& length) const {
        const std::uint16_t entry = fast[window >> (64 - kTableBits)];
        if (entry & 31) {
            length = entry & 31;
            return entry >> 5;
        }
        for (int n = kTableBits + 1; n <= maxLength; ++n) {
            const auto code = static_cast<std::int32_t>(window >> (64 - n));
            if (code <= limit[n]) {
                length = n;
                return sorted[static_cast<std::size_t>(code + offset[n])];
            }
        }
        return -1;
    }
};

// Moves list[index] to the front, shifting the ones before it back; returns it. With SSE2 the
// list moves 16 bytes at a time and without a branch on the index within them; `list` is then
// 16-byte aligned and 256 bytes long. Otherwise, as indices are mostly tiny, the first eight
// bytes are shifted as one word rather than by a call to memmove.
std::uint8_t MoveToFront(std::uint8_t* list, int index) {
    const std::uint8_t moved = list[index];
#if defined(__SSE2__)
    __m128i carried = _mm_cvtsi32_si128(moved); // the byte that enters each 16 at its front
    const int last = index & ~15;
    for (int at = 0; at < last; at += 16) {
        auto* lane = reinterpret_cast<__m128i*>(list + at);
        const __m128i bytes = _mm_load_si128(lane);
        _mm_store_si128(lane, _mm_or_si128(_mm_slli_si128(bytes, 1), carried));
        carried = _mm_srli_si128(bytes, 15);
    }
    auto* lane = reinterpret_cast<__m128i*>(list + last);
    const __m128i bytes = _mm_load_si128(lane);
    const __m128i shifted = _mm_or_si128(_mm_slli_si128(bytes, 1), carried);
    // Bytes past the moved one stay.
    const __m128i stays =
        _mm_cmpgt_epi8(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                       _mm_set1_epi8(static_cast<char>(index - last)));
    _mm_store_si128(lane,
                    _mm_or_si128(_mm_and_si128(stays, bytes), _mm_andnot_si128(stays, shifted)));
#else
    if (std::endian::native == std::endian::little && index < 8) {
        std::uint64_t word;
        std::memcpy(&word, list, sizeof word);
        const unsigned shift = 8u * static_cast<unsigned>(index);
        const std::uint64_t before = (std::uint64_t{1} << shift) - 1;
        const std::uint64_t after = index == 7 ? 0 : ~((std::uint64_t{1} << (shift + 8)) - 1);
        word = (word & after) | ((word & before) << 8) | moved;
        std::memcpy(list, &word, sizeof word);
        return moved;
    }
    std::memmove(list + 1, list, static_cast<std::size_t>(index));
    list[0] = moved;
#endif
    return moved;
}

} // namespace

struct Bzip2BlockDecoder::Scratch {
    std::array<HuffmanTable, kMaxGroups> tables;
    std::vector<std::uint8_t> selectors;
};

Bzip2BlockDecoder::Bzip2BlockDecoder() : m_scratch(std::make_unique<Scratch>()) {}
Bzip2BlockDecoder::~Bzip2BlockDecoder() = default;

bool Bzip2BlockDecoder::Decode(const unsigned char* bytes, std::size_t size, std::uint64_t bit,
                               int level, Block& block) {
    if (level < 1 || level > 9)
        return false;
    const std::uint64_t endBit = std::uint64_t{size} * 8;
    BitReader header(bytes, bit, endBit);
    const std::uint64_t marker = std::uint64_t{header.Take(24)} << 24 | header.Take(24);
    if (marker != kBzip2BlockMarker)
        return false;
    block.storedCrc = header.Take(32);
    if (header.Take(1) != 0)
        return false; // randomised: left to libbz2
    const std::uint32_t origin = header.Take(24);
    std::uint64_t position = header.Position();
    if (header.Overrun() || !DecodeSymbols(position, endBit, bytes, level))
        return false;
    block.endBit = position;
    if (origin >= m_count || !Untransform(origin))
        return false;
    m_storedCrc = block.storedCrc;
    m_at = 0;
    m_previous = -1;
    m_repeats = 0;
    m_run = 0;
    m_crc = 0xffffffffu;
    return true;
}

bool Bzip2BlockDecoder::DecodeSymbols(std::uint64_t& bit, std::uint64_t endBit,
                                      const unsigned char* bytes, int level) {
    BitReader reader(bytes, bit, endBit);
    // The bytes in use, as a map of 16 ranges of 16.
    std::uint8_t alphabetToByte[256];
    int inUse = 0;
    const std::uint32_t ranges = reader.Take(16);
    for (int i = 0; i < 16; ++i) {
        if (!(ranges & (0x8000u >> i)))
            continue;
        const std::uint32_t used = reader.Take(16);
        for (int j = 0; j < 16; ++j) {
            if (used & (0x8000u >> j))
                alphabetToByte[inUse++] = static_cast<std::uint8_t>(i * 16 + j);
        }
    }
    if (inUse == 0)
        return false;
    const int alphabet = inUse + 2;
    const int groups = static_cast<int>(reader.Take(3));
    if (groups < kMinGroups || groups > kMaxGroups)
        return false;
    const int selectorCount = static_cast<int>(reader.Take(15));
    if (selectorCount < 1)
        return false;
    // Selectors, each a unary index moved to the front of the group list.
    std::vector<std::uint8_t>& selectors = m_scratch->selectors;
    selectors.resize(static_cast<std::size_t>(std::min(selectorCount, kMaxSelectors)));
    std::uint8_t groupOrder[kMaxGroups];
    for (int g = 0; g < groups; ++g)
        groupOrder[g] = static_cast<std::uint8_t>(g);
    for (int i = 0; i < selectorCount; ++i) {
        int index = 0;
        while (reader.Take(1)) {
            if (++index >= groups)
                return false;
        }
        if (reader.Overrun())
            return false;
        const std::uint8_t group = groupOrder[index];
        for (int k = index; k > 0; --k)
            groupOrder[k] = groupOrder[k - 1];
        groupOrder[0] = group;
        if (i < kMaxSelectors)
            selectors[static_cast<std::size_t>(i)] = group;
    }
    // Code lengths per group, each a delta from the one before.
    std::array<HuffmanTable, kMaxGroups>& tables = m_scratch->tables;
    for (int g = 0; g < groups; ++g) {
        std::uint8_t lengths[kMaxAlphabet];
        int length = static_cast<int>(reader.Take(5));
        for (int s = 0; s < alphabet; ++s) {
            for (;;) {
                if (length < 1 || length > kMaxCodeLength || reader.Overrun())
                    return false;
                if (!reader.Take(1))
                    break;
                length += reader.Take(1) ? -1 : 1;
            }
            lengths[s] = static_cast<std::uint8_t>(length);
        }
        if (!tables[static_cast<std::size_t>(g)].Build(lengths, alphabet))
            return false;
    }
    // The symbols: runs of the front byte (RUNA and RUNB digits), moves to front, end of block.
    const std::uint32_t capacity = static_cast<std::uint32_t>(level) * 100000;
    if (m_capacity < capacity) {
        m_tt.reset(new std::uint32_t[capacity]);
        m_text.reset(new unsigned char[capacity]);
        m_capacity = capacity;
    }
    std::uint32_t* tt = m_tt.get();
    std::fill(std::begin(m_byteCounts), std::end(m_byteCounts), 0u);
    alignas(16) std::uint8_t front[256];
    for (int i = 0; i < 256; ++i)
        front[i] = static_cast<std::uint8_t>(i);
    const int endOfBlock = inUse + 1;
    std::uint32_t count = 0;
    std::uint32_t run = 0;
    std::uint32_t runWeight = 1;
    std::size_t selector = 0;
    int left = 0;
    const HuffmanTable* table = nullptr;
    const std::size_t selectorsKept = selectors.size();
    // The symbols are read from a window of the next bits kept in a register, loaded again once
    // fewer than a longest code's worth are left: the next code's bits are then ready as soon
    // as the last one's length is known, rather than after a load from memory. A window is only
    // loaded from within the data (and its slack); symbols decoded past the data's end are
    // refused at the next load or at the end of the block.
    std::uint64_t at = reader.Position();
    std::uint64_t window = 0;
    int windowBits = 0;
    if (reader.Overrun())
        return false;
    for (;;) {
        if (left == 0) {
            if (selector >= selectorsKept)
                return false;
            table = &tables[selectors[selector++]];
            left = kGroupSize;
        }
        --left;
        if (windowBits < kMaxCodeLength) {
            if (at > endBit)
                return false;
            std::memcpy(&window, bytes + (at >> 3), sizeof window);
            if constexpr (std::endian::native == std::endian::little)
                window = __builtin_bswap64(window);
            window <<= (at & 7);
            windowBits = 64 - static_cast<int>(at & 7);
        }
        int length = 0;
        const int symbol = table->Decode(window, length);
        if (symbol < 0 || symbol >= alphabet)
            return false;
        window <<= length;
        windowBits -= length;
        at += static_cast<std::uint64_t>(length);
        if (symbol <= 1) {
            run += runWeight << symbol;
            runWeight <<= 1;
            if (runWeight >= kRunLimit || run > capacity)
                return false;
            continue;
        }
        if (run > 0) {
            if (run > capacity - count)
                return false;
            const std::uint8_t byte = alphabetToByte[front[0]];
            m_byteCounts[byte] += run;
            std::fill(tt + count, tt + count + run, std::uint32_t{byte});
            count += run;
            run = 0;
            runWeight = 1;
        }
        if (symbol == endOfBlock)
            break;
        const int index = symbol - 1;
        if (index >= inUse || count >= capacity)
            return false;
        const std::uint8_t moved = MoveToFront(front, index);
        const std::uint8_t byte = alphabetToByte[moved];
        ++m_byteCounts[byte];
        tt[count++] = byte;
    }
    if (at > endBit)
        return false;
    m_count = count;
    bit = at;
    return true;
}

bool Bzip2BlockDecoder::Untransform(std::uint32_t origin) {
    const std::uint32_t count = m_count;
    std::uint32_t* tt = m_tt.get();
    unsigned char* text = m_text.get();
    // The inverse transform as a linked list over the block: each position learns where the
    // byte after it went, and keeps its own byte in the low 8 bits.
    std::uint32_t next[256];
    std::uint32_t sum = 0;
    for (int i = 0; i < 256; ++i) {
        next[i] = sum;
        sum += m_byteCounts[i];
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t byte = tt[i] & 0xff;
        tt[next[byte]++] |= i << 8;
    }
    // Walking the list is one cache miss after another; it gets a loop of its own, and the
    // run-length stage and the CRC run over the plain bytes after it.
    std::uint32_t position = tt[origin] >> 8;
    for (std::uint32_t k = 0; k < count; ++k) {
        if (position >= count)
            return false;
        const std::uint32_t entry = tt[position];
        text[k] = static_cast<unsigned char>(entry);
        position = entry >> 8;
    }
    return true;
}

Bzip2BlockDecoder::Produced Bzip2BlockDecoder::Produce(std::vector<char>& out, std::size_t most) {
    const std::size_t base = out.size();
    std::size_t room = 0;
    char* data = nullptr;
    // Makes room for `wanted` bytes, never more than `most`, growing by at least half.
    auto fit = [&](std::size_t wanted) {
        wanted = std::min(wanted, most);
        if (wanted <= room)
            return;
        room = std::max(wanted, std::min(most, room + room / 2));
        out.resize(base + room);
        data = out.data() + base;
    };
    fit(std::size_t{m_run} + (m_count - m_at));
    const unsigned char* text = m_text.get();
    std::size_t at = 0;
    // Undo the first run-length stage: four equal bytes are followed by a count of more.
    for (;;) {
        if (m_run > 0) {
            fit(at + m_run + (m_count - m_at));
            const std::size_t step = std::min<std::size_t>(m_run, room - at);
            std::memset(data + at, m_runByte, step);
            at += step;
            m_run -= static_cast<std::uint32_t>(step);
            if (m_run > 0)
                break;
        }
        // In locals: a store through `data` may alias any member, which would send every
        // member back to memory on every byte.
        std::uint32_t next = m_at;
        int previous = m_previous, repeats = m_repeats;
        const std::uint32_t count = m_count;
        while (next < count && at < room) {
            const int byte = text[next++];
            if (repeats == 4) {
                m_run = static_cast<std::uint32_t>(byte);
                m_runByte = static_cast<unsigned char>(previous);
                repeats = 0;
                previous = -1;
                if (m_run > 0)
                    break;
                continue;
            }
            data[at++] = static_cast<char>(byte);
            repeats = byte == previous ? repeats + 1 : 1;
            previous = byte;
        }
        m_at = next;
        m_previous = previous;
        m_repeats = repeats;
        if (m_run == 0)
            break;
    }
    out.resize(base + at);
    m_crc = UpdateBlockCrc(m_crc, reinterpret_cast<const unsigned char*>(out.data()) + base, at);
    if (m_run > 0 || m_at < m_count)
        return Produced::More;
    // A block never ends between four equal bytes and their count.
    if (m_repeats == 4 || ~m_crc != m_storedCrc)
        return Produced::Refused;
    return Produced::Done;
}
