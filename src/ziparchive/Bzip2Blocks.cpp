#include "ziparchive/Bzip2Blocks.h"

namespace {

constexpr std::uint64_t kBlockMarker = 0x314159265359;
constexpr std::uint64_t kEndMarker = 0x177245385090;
constexpr std::uint64_t kMarkerMask = (std::uint64_t{1} << 48) - 1;
constexpr std::uint64_t kMarkerBits = 48;

// Appends bits, most significant first.
class BitWriter {
public:
    explicit BitWriter(std::vector<char>& out) : m_out(out) {}
    void Put(std::uint64_t value, unsigned count) {
        while (count > 0) {
            const unsigned take = count < 8 - m_used ? count : 8 - m_used;
            const unsigned bits =
                static_cast<unsigned>(value >> (count - take)) & ((1u << take) - 1);
            m_pending = static_cast<unsigned char>(m_pending | (bits << (8 - m_used - take)));
            m_used += take;
            count -= take;
            if (m_used == 8)
                Flush();
        }
    }
    void Finish() {
        if (m_used > 0)
            Flush();
    }

private:
    void Flush() {
        m_out.push_back(static_cast<char>(m_pending));
        m_pending = 0;
        m_used = 0;
    }
    std::vector<char>& m_out;
    unsigned char m_pending = 0;
    unsigned m_used = 0;
};

} // namespace

void Bzip2BoundaryScanner::Scan(const unsigned char* bytes, std::size_t count, std::uint64_t first,
                                std::vector<Bzip2Boundary>& found) {
    for (std::size_t i = 0; i < count; ++i) {
        m_register = (m_register << 8) | bytes[i];
        if (++m_seen < 6)
            continue;
        // The bit just past the newest byte; each shift k tests the marker ending k bits earlier.
        const std::uint64_t end = (first + i + 1) * 8;
        for (unsigned k = 0; k < 8; ++k) {
            const std::uint64_t value = (m_register >> k) & kMarkerMask;
            if ((value == kBlockMarker || value == kEndMarker) && end >= kMarkerBits + k)
                found.push_back({end - k - kMarkerBits, value == kEndMarker});
        }
    }
}

std::uint32_t ReadBits32(const unsigned char* bytes, std::size_t size, std::uint64_t bit) {
    const unsigned shift = static_cast<unsigned>(bit % 8);
    std::uint64_t window = 0;
    for (std::uint64_t i = bit / 8; i < bit / 8 + 5; ++i)
        window = (window << 8) | (i < size ? bytes[i] : 0);
    return static_cast<std::uint32_t>(window >> (8 - shift));
}

std::vector<char> WrapBlock(const unsigned char* bytes, std::uint64_t begin, std::uint64_t end,
                            char level) {
    std::vector<char> stream;
    stream.reserve(static_cast<std::size_t>((end - begin) / 8 + 32));
    stream.insert(stream.end(), {'B', 'Z', 'h', level});
    BitWriter writer(stream);
    std::uint64_t bit = begin;
    // Whole bytes first when the block happens to start on one, bit by bit otherwise.
    const unsigned shift = static_cast<unsigned>(begin % 8);
    const unsigned char* p = bytes + begin / 8;
    while (end - bit >= 8) {
        const unsigned value = shift == 0 ? p[0] : ((p[0] << shift) | (p[1] >> (8 - shift))) & 0xff;
        writer.Put(value, 8);
        ++p;
        bit += 8;
    }
    if (end > bit) {
        const unsigned count = static_cast<unsigned>(end - bit);
        const unsigned value =
            ((p[0] << 8 | (count + shift > 8 ? p[1] : 0)) >> (16 - shift - count)) &
            ((1u << count) - 1);
        writer.Put(value, count);
    }
    writer.Put(kEndMarker, 48);
    writer.Put(ReadBits32(bytes, static_cast<std::size_t>((end + 7) / 8), begin + kMarkerBits), 32);
    writer.Finish();
    return stream;
}
