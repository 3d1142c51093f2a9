#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Finding the blocks of a bzip2 stream without decoding it. Blocks start at any bit offset with a
// 48-bit marker, and the stream ends with another one; each block carries its own CRC and
// decodes by itself. A marker can also occur by chance inside compressed data: whoever splits a
// stream this way must confirm each block by decoding it (a false split fails, or ends the block
// elsewhere) and by the CRCs.

struct Bzip2Boundary {
    std::uint64_t bit; // where the marker starts, counted from the start of the stream
    bool endOfStream;
};

// Scans bytes appended to a stream for markers, carrying its state between calls.
class Bzip2BoundaryScanner {
public:
    // `bytes` are the stream's bytes from byte offset `first`, which must continue where the
    // previous call stopped. Found boundaries are appended to `found`.
    void Scan(const unsigned char* bytes, std::size_t count, std::uint64_t first,
              std::vector<Bzip2Boundary>& found);

private:
    std::uint64_t m_register = 0;
    std::uint64_t m_seen = 0;
};
