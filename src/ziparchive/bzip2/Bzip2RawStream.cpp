#include "ziparchive/bzip2/Bzip2RawStream.h"

#include "ziparchive/bzip2/Bzip2BlockDecoder.h"
#include "ziparchive/read/EntryInput.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kReadChunk = 1 << 20;

} // namespace

Bzip2RawStream::Bzip2RawStream(EntryInput& raw, bool findBoundaries,
                               std::vector<unsigned char>& buffer)
    : m_raw(raw), m_scan(findBoundaries), m_bytes(buffer) {
    Reserve(kBzip2ReadSlack);
    std::fill_n(m_bytes.begin(), kBzip2ReadSlack, 0);
}

bool Bzip2RawStream::ReadMore() {
    // No more room than the data left: the buffer, kept for later entries, then grows only as
    // far as the largest entry needs, and a run of small entries touches only a few pages.
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, m_raw.Left()));
    Reserve(m_size + chunk + kBzip2ReadSlack);
    unsigned char* into = m_bytes.data() + m_size;
    const std::int64_t got = m_raw.Read(into, chunk);
    if (got < 0)
        return false;
    const auto fresh = static_cast<std::size_t>(got);
    if (m_scan) {
        const std::size_t first = m_boundaries.size();
        m_scanner.Scan(into, fresh, m_origin + m_size, m_boundaries);
        // One byte yields its markers last bit first.
        std::sort(m_boundaries.begin() + static_cast<std::ptrdiff_t>(first), m_boundaries.end(),
                  [](const Bzip2Boundary& a, const Bzip2Boundary& b) { return a.bit < b.bit; });
    }
    m_size += fresh;
    std::fill_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_size), kBzip2ReadSlack, 0);
    m_ended = fresh == 0;
    return true;
}

bool Bzip2RawStream::Hold(std::uint64_t bit) {
    while (BitsHeld() < bit && !m_ended) {
        if (!ReadMore())
            return false;
    }
    return true;
}

void Bzip2RawStream::DropBefore(std::uint64_t bit) {
    const auto kept = std::find_if(m_boundaries.begin(), m_boundaries.end(),
                                   [bit](const Bzip2Boundary& b) { return b.bit >= bit; });
    m_boundaries.erase(m_boundaries.begin(), kept);
    const std::uint64_t keepFrom = bit / 8;
    const auto drop = static_cast<std::size_t>(keepFrom - m_origin);
    if (drop < kReadChunk * 4)
        return;
    std::memmove(m_bytes.data(), m_bytes.data() + drop, m_size - drop + kBzip2ReadSlack);
    m_size -= drop;
    m_origin = keepFrom;
}

void Bzip2RawStream::Reserve(std::size_t bytes) {
    if (m_bytes.size() < bytes)
        m_bytes.resize(bytes);
}
