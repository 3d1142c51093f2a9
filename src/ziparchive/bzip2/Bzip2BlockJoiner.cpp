#include "ziparchive/bzip2/Bzip2BlockJoiner.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/bzip2/Bzip2Format.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t HeaderBytes = kBzip2HeaderBits / 8;
constexpr std::uint8_t Header[HeaderBytes] = {'B', 'Z', 'h', '9'};

} // namespace

Bzip2BlockJoiner::Bzip2BlockJoiner() : m_bytes(Header, Header + HeaderBytes) {}

void Bzip2BlockJoiner::Append(const CompressedBlock& block) {
    if (m_finished)
        throw CZipException("a block was appended to a finished bzip2 stream");
    // Whatever was drained is gone; keep only the unread tail, so memory stays one block.
    m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(m_read));
    m_read = 0;

    const std::uint8_t* bits = block.stream.get() + HeaderBytes;
    const std::size_t wholeBytes = static_cast<std::size_t>(block.blockBits / 8);
    const unsigned tailBits = static_cast<unsigned>(block.blockBits % 8);
    PutAlignedBytes(bits, wholeBytes);
    if (tailBits > 0)
        PutBits(bits[wholeBytes] >> (8 - tailBits), tailBits);
    m_streamCrc = CombineBlockCrc(m_streamCrc, block.blockCrc);
}

void Bzip2BlockJoiner::Finish() {
    if (m_finished)
        return;
    PutBits(kBzip2EndMarker, kBzip2MarkerBits);
    PutBits(m_streamCrc, 32);
    m_bitsInLastByte = 0; // the padding bits are already zero
    m_finished = true;
}

std::size_t Bzip2BlockJoiner::Drain(std::uint8_t* destination, std::size_t capacity) {
    const std::size_t count = std::min(capacity, CompleteBytes() - m_read);
    std::memcpy(destination, m_bytes.data() + m_read, count);
    m_read += count;
    return count;
}

void Bzip2BlockJoiner::PutBits(std::uint64_t value, unsigned count) {
    for (unsigned i = count; i > 0; --i) {
        const unsigned bit = static_cast<unsigned>((value >> (i - 1)) & 1u);
        if (m_bitsInLastByte == 0)
            m_bytes.push_back(0);
        m_bytes.back() |= static_cast<std::uint8_t>(bit << (7 - m_bitsInLastByte));
        m_bitsInLastByte = (m_bitsInLastByte + 1) % 8;
    }
}

void Bzip2BlockJoiner::PutAlignedBytes(const std::uint8_t* bytes, std::size_t count) {
    if (m_bitsInLastByte == 0) {
        m_bytes.insert(m_bytes.end(), bytes, bytes + count);
        return;
    }
    // Every source byte straddles two output bytes: its high bits finish the partial byte,
    // its low bits start the next one.
    const unsigned shift = m_bitsInLastByte;
    std::size_t at = m_bytes.size() - 1;
    m_bytes.resize(m_bytes.size() + count);
    std::uint8_t* out = m_bytes.data();
    for (std::size_t i = 0; i < count; ++i) {
        out[at] |= static_cast<std::uint8_t>(bytes[i] >> shift);
        out[++at] = static_cast<std::uint8_t>(bytes[i] << (8 - shift));
    }
}
