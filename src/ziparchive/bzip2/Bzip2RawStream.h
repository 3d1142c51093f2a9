#pragma once

#include "ziparchive/bzip2/Bzip2Blocks.h"
#include "ziparchive/bzip2/Bzip2Format.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class EntryInput;

// An entry's BZIP2 stream as read so far, from the first block not yet decoded, with the block
// decoder's slack of zero bytes kept after it, and, when asked, the block markers found in it.
// The buffer is the caller's, kept from entry to entry.
class Bzip2RawStream {
public:
    Bzip2RawStream(EntryInput& raw, bool findBoundaries, std::vector<unsigned char>& buffer);

    // Reads another chunk; false when reading failed.
    bool ReadMore();
    // Reads until bit `bit` of the stream is held or the stream ends; false when reading failed.
    bool Hold(std::uint64_t bit);
    // Whether the last read found the end of the data.
    bool Ended() const { return m_ended; }

    const unsigned char* Bytes() const { return m_bytes.data(); }
    std::size_t Size() const { return m_size; }
    std::uint64_t BitsHeld() const { return (m_origin + m_size) * 8; }
    // Stream bit `bit` as a bit offset into Bytes().
    std::uint64_t Local(std::uint64_t bit) const { return bit - m_origin * 8; }
    std::uint64_t Stream(std::uint64_t local) const { return local + m_origin * 8; }
    std::uint64_t Marker(std::uint64_t bit) const {
        return ReadMarker(Bytes(), Size(), Local(bit));
    }
    std::uint32_t Bits32(std::uint64_t bit) const {
        return ReadBits32(Bytes(), Size(), Local(bit));
    }
    // The markers found in what was read and not dropped, in order.
    const std::vector<Bzip2Boundary>& Boundaries() const { return m_boundaries; }

    // Forgets the boundaries before stream bit `bit`, and the bytes before it once enough of
    // them have piled up.
    void DropBefore(std::uint64_t bit);

private:
    // Grows the buffer, never shrinking it, so that later entries reuse it. The vector grows
    // its capacity geometrically; only what is filled is touched.
    void Reserve(std::size_t bytes);

    EntryInput& m_raw;
    bool m_scan;
    std::vector<unsigned char>& m_bytes;
    std::size_t m_size = 0;
    std::uint64_t m_origin = 0; // the stream byte m_bytes[0] is
    std::vector<Bzip2Boundary> m_boundaries;
    Bzip2BoundaryScanner m_scanner;
    bool m_ended = false;
};
