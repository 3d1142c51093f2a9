#include "ziparchive/bzip2/encode/Bzip2BlockEncoder.h"

#include "ziparchive/bzip2/Bzip2Crc.h"
#include "ziparchive/bzip2/Bzip2Format.h"
#include "ziparchive/bzip2/CompressedBlock.h"
#include "ziparchive/bzip2/encode/BitWriter.h"

#include <algorithm>
#include <cstring>

namespace {

// A 48-bit marker, in two calls of at most 32 bits.
void PutMarker(std::uint64_t marker, BitWriter& out) {
    out.Put(static_cast<std::uint32_t>(marker >> 24), 24);
    out.Put(static_cast<std::uint32_t>(marker & 0xffffff), 24);
}

// The canonical code of each symbol, as the decoder rebuilds it from the lengths alone: shorter
// codes first, and within a length in symbol order. Entry: code << 5 | length.
void AssignCodes(const std::uint8_t* lengths, int alphabet, std::uint32_t* codes) {
    std::uint32_t count[kMaxCodeLength + 1] = {};
    for (int s = 0; s < alphabet; ++s)
        ++count[lengths[s]];
    std::uint32_t next[kMaxCodeLength + 1] = {};
    std::uint32_t code = 0;
    for (int length = 1; length <= kMaxCodeLength; ++length) {
        next[length] = code;
        code = (code + count[length]) << 1;
    }
    for (int s = 0; s < alphabet; ++s)
        codes[s] = next[lengths[s]]++ << 5 | lengths[s];
}

void WriteTables(const HuffmanPlan& plan, int alphabet, BitWriter& out) {
    out.Put(static_cast<std::uint32_t>(plan.tables), 3);
    out.Put(static_cast<std::uint32_t>(plan.selectors.size()), 15);
    // Selectors as places in a list of the tables, moved to the front when used, in unary.
    std::uint8_t list[kMaxTables];
    for (int t = 0; t < kMaxTables; ++t)
        list[t] = static_cast<std::uint8_t>(t);
    for (const std::uint8_t selector : plan.selectors) {
        unsigned place = 0;
        while (list[place] != selector)
            ++place;
        std::memmove(list + 1, list, place);
        list[0] = selector;
        out.Put(((1u << place) - 1) << 1, place + 1);
    }
    // Each length as a change from the one before: "10" one longer, "11" one shorter, "0" done.
    for (int t = 0; t < plan.tables; ++t) {
        int current = plan.lengths[t][0];
        out.Put(static_cast<std::uint32_t>(current), 5);
        for (int s = 0; s < alphabet; ++s) {
            const int length = plan.lengths[t][s];
            for (; current < length; ++current)
                out.Put(2, 2);
            for (; current > length; --current)
                out.Put(3, 2);
            out.Put(0, 1);
        }
    }
}

} // namespace

Bzip2BlockEncoder::Bzip2BlockEncoder()
    : m_block(std::make_unique_for_overwrite<std::uint8_t[]>(MaxBlock)),
      m_last(std::make_unique_for_overwrite<std::uint8_t[]>(MaxBlock)),
      m_symbols(std::make_unique_for_overwrite<std::uint16_t[]>(MaxBlock + 1)) {}

Bzip2BlockEncoder::~Bzip2BlockEncoder() = default;

std::size_t Bzip2BlockEncoder::RunLengthStage(const std::uint8_t* data, std::size_t size) {
    std::fill(std::begin(m_inUse), std::end(m_inUse), false);
    std::uint8_t* out = m_block.get();
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t byte = data[i];
        m_inUse[byte] = true;
        if (i + 1 == size || data[i + 1] != byte) {
            *out++ = byte;
            ++i;
            continue;
        }
        // Four equal bytes and then a count of up to 251 more; a longer run starts over.
        const std::size_t end = std::min(size, i + 255);
        std::size_t j = i + 2;
        while (j < end && data[j] == byte)
            ++j;
        const std::size_t run = j - i;
        if (run < 4) {
            std::memset(out, byte, run);
            out += run;
        } else {
            std::memset(out, byte, 4);
            out[4] = static_cast<std::uint8_t>(run - 4);
            m_inUse[run - 4] = true;
            out += 5;
        }
        i = j;
    }
    return static_cast<std::size_t>(out - m_block.get());
}

bool Bzip2BlockEncoder::Encode(const std::uint8_t* data, std::size_t size, CompressedBlock& block) {
    if (size == 0 || size > MaxInput)
        return false; // no block, or one the arrays cannot hold
    const std::size_t length = RunLengthStage(data, size);
    const std::uint32_t crc = Bzip2BlockCrc(data, size);
    const std::uint32_t origin = m_sort.Sort(m_block.get(), length, m_last.get());
    MoveToFrontCode(m_last.get(), length, m_inUse, m_symbols.get(), m_counts);
    PlanHuffmanTables(m_symbols.get(), m_counts, m_plan, m_sparePlan);

    BitWriter out(block.stream.get(), block.capacity);
    out.Put('B' << 16 | 'Z' << 8 | 'h', 24);
    out.Put('9', 8);
    PutMarker(kBzip2BlockMarker, out);
    out.Put(crc, 32);
    out.Put(0, 1); // not randomised
    out.Put(origin, 24);

    // The bytes in use: which of the 16 ranges of 16 hold any, then a map of each such range.
    std::uint32_t ranges = 0;
    for (int r = 0; r < 16; ++r) {
        for (int b = 0; b < 16; ++b) {
            if (m_inUse[r * 16 + b])
                ranges |= 0x8000u >> r;
        }
    }
    out.Put(ranges, 16);
    for (int r = 0; r < 16; ++r) {
        if (!(ranges & (0x8000u >> r)))
            continue;
        std::uint32_t used = 0;
        for (int b = 0; b < 16; ++b) {
            if (m_inUse[r * 16 + b])
                used |= 0x8000u >> b;
        }
        out.Put(used, 16);
    }

    const int alphabet = m_counts.alphabet;
    WriteTables(m_plan, alphabet, out);

    std::uint32_t codes[kMaxTables][kMaxAlphabet];
    for (int t = 0; t < m_plan.tables; ++t)
        AssignCodes(m_plan.lengths[t], alphabet, codes[t]);
    const std::uint16_t* symbols = m_symbols.get();
    const std::size_t count = m_counts.count;
    for (std::size_t g = 0; g < m_plan.selectors.size(); ++g) {
        const std::uint32_t* table = codes[m_plan.selectors[g]];
        const std::size_t end = std::min(count, (g + 1) * kGroupSize);
        for (std::size_t i = g * kGroupSize; i < end; ++i) {
            const std::uint32_t entry = table[symbols[i]];
            out.Put(entry >> 5, entry & 31);
        }
    }

    const std::uint64_t endMarker = out.BitsWritten();
    PutMarker(kBzip2EndMarker, out);
    out.Put(CombineBlockCrc(0, crc), 32); // the stream's CRC, over its one block
    out.Finish();
    if (out.Overflowed())
        return false;
    block.streamLength = out.Length();
    block.blockBits = endMarker - kBzip2HeaderBits;
    block.blockCrc = crc;
    return true;
}
