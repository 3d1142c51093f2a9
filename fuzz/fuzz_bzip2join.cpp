// Random data cut into chunks of random sizes, each compressed into a one-block stream, joined
// into one stream and decoded with libbz2: the decoded bytes and the combined CRC must match.

#include "ziparchive/bzip2/Bzip2BlockJoiner.h"
#include "ziparchive/write/ChunkCompressor.h"

#include <bzlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    // The first two bytes choose the chunk size, so chunk ends fall everywhere; chunks reach
    // the largest one that still makes one block.
    const std::size_t chunk =
        1 + (static_cast<std::size_t>(data[0]) << 8 | data[1]) % ChunkCompressor::MaxChunk;
    data += 2;
    size -= 2;

    ChunkCompressor compressor;
    Bzip2BlockJoiner joiner;
    std::vector<std::uint8_t> joined;
    std::uint8_t buffer[4096];
    auto drain = [&] {
        while (const std::size_t n = joiner.Drain(buffer, sizeof buffer))
            joined.insert(joined.end(), buffer, buffer + n);
    };
    std::uint32_t expectedCrc = 0;
    for (std::size_t offset = 0; offset < size; offset += chunk) {
        CompressedBlock block;
        compressor.Compress(data + offset, std::min(chunk, size - offset), block);
        expectedCrc = (expectedCrc << 1 | expectedCrc >> 31) ^ block.blockCrc;
        joiner.Append(block);
        drain();
    }
    joiner.Finish();
    drain();
    if (joiner.StreamCrc() != expectedCrc)
        std::abort();

    std::vector<char> decoded(size + 1);
    unsigned decodedSize = static_cast<unsigned>(decoded.size());
    const int status = BZ2_bzBuffToBuffDecompress(decoded.data(), &decodedSize,
                                                  reinterpret_cast<char*>(joined.data()),
                                                  static_cast<unsigned>(joined.size()), 0, 0);
    if (size == 0) {
        // No block at all: an empty stream, which libbz2 reads as nothing.
        if (status != BZ_OK || decodedSize != 0)
            std::abort();
        return 0;
    }
    if (status != BZ_OK || decodedSize != size || std::memcmp(decoded.data(), data, size) != 0)
        std::abort();
    return 0;
}
