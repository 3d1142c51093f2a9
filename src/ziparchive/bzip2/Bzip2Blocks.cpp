#include "ziparchive/bzip2/Bzip2Blocks.h"

namespace {

constexpr std::uint64_t kBlockMarker = 0x314159265359;
constexpr std::uint64_t kEndMarker = 0x177245385090;
constexpr std::uint64_t kMarkerMask = (std::uint64_t{1} << 48) - 1;
constexpr std::uint64_t kMarkerBits = 48;

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
