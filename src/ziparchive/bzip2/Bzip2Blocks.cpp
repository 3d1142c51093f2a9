#include "ziparchive/bzip2/Bzip2Blocks.h"

#include "ziparchive/bzip2/Bzip2Format.h"

#include <array>

namespace {

constexpr std::uint64_t kMarkerMask = (std::uint64_t{1} << kBzip2MarkerBits) - 1;

// Whether the last 16 bits read can end either marker at any of the eight bit shifts: with the
// marker ending k bits before the newest bit, the register's bits from k up are the marker's low
// 16 - k bits. About one position in a hundred passes, so the full test of all shifts runs on
// few bytes.
struct MarkerEndings {
    std::array<bool, 1 << 16> possible{};
    MarkerEndings() {
        for (std::uint32_t value = 0; value < possible.size(); ++value)
            for (unsigned k = 0; k < 8; ++k)
                for (const std::uint64_t marker : {kBzip2BlockMarker, kBzip2EndMarker})
                    possible[value] = possible[value] || (value >> k) == (marker & (0xffffu >> k));
    }
};
const MarkerEndings kEndings;

} // namespace

void Bzip2BoundaryScanner::Scan(const unsigned char* bytes, std::size_t count, std::uint64_t first,
                                std::vector<Bzip2Boundary>& found) {
    std::uint64_t reg = m_register;
    for (std::size_t i = 0; i < count; ++i) {
        reg = (reg << 8) | bytes[i];
        if (!kEndings.possible[reg & 0xffff] || m_seen + i + 1 < 6)
            continue;
        // The bit just past the newest byte; each shift k tests the marker ending k bits earlier.
        const std::uint64_t end = (first + i + 1) * 8;
        for (unsigned k = 0; k < 8; ++k) {
            const std::uint64_t value = (reg >> k) & kMarkerMask;
            if ((value == kBzip2BlockMarker || value == kBzip2EndMarker) &&
                end >= kBzip2MarkerBits + k)
                found.push_back({end - k - kBzip2MarkerBits, value == kBzip2EndMarker});
        }
    }
    m_register = reg;
    m_seen += count;
}
