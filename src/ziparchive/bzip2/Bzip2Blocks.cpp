#include "ziparchive/bzip2/Bzip2Blocks.h"

#include "ziparchive/bzip2/Bzip2Format.h"

namespace {

constexpr std::uint64_t kMarkerMask = (std::uint64_t{1} << kBzip2MarkerBits) - 1;

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
            if ((value == kBzip2BlockMarker || value == kBzip2EndMarker) &&
                end >= kBzip2MarkerBits + k)
                found.push_back({end - k - kBzip2MarkerBits, value == kBzip2EndMarker});
        }
    }
}
