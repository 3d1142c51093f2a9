// Chunks shaped by the input, compressed by our encoder with the compressor's verifying decode
// on (libbz2 must give back the chunk, and the block's end and CRC must be where the stream says),
// then decoded by our own strict block decoder too, which must accept the block.

#include "ziparchive/CZipException.h"
#include "ziparchive/bzip2/Bzip2BlockDecoder.h"
#include "ziparchive/bzip2/Bzip2Format.h"
#include "ziparchive/write/ChunkCompressor.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The first byte picks a shape, so short inputs reach the block sort's and the run-length
// stage's hard cases: the bytes as they are, the bytes repeated (periodic data), or runs. Bit 2
// of it allows long chunks, up to the largest; without it they stay short, which runs faster.
std::vector<std::uint8_t> Shape(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t mode = data[0];
    ++data;
    --size;
    std::vector<std::uint8_t> chunk;
    if (mode % 3 == 0 || size < 3) {
        chunk.assign(data, data + std::min(size, ChunkCompressor::MaxChunk));
    } else if (mode % 3 == 1) {
        // Two bytes of length, for long chunks in units of 11 so a whole chunk is in reach.
        const std::size_t unit = (mode & 4) ? 11 : 1;
        const std::size_t length = std::min<std::size_t>(
            ChunkCompressor::MaxChunk, 1 + std::size_t(data[0] << 8 | data[1]) * unit);
        const std::size_t period = size - 2;
        chunk.resize(length);
        for (std::size_t i = 0; i < length; ++i)
            chunk[i] = data[2 + i % period];
    } else {
        // Pairs of byte and run length, for long chunks scaled by the mode's upper bits.
        const std::size_t scale = (mode & 4) ? 1 + (mode >> 3) * 8u : 1;
        for (std::size_t i = 0; i + 1 < size && chunk.size() < ChunkCompressor::MaxChunk; i += 2) {
            const std::size_t run = std::min(ChunkCompressor::MaxChunk - chunk.size(),
                                             (std::size_t{data[i + 1]} + 1) * scale);
            chunk.insert(chunk.end(), run, data[i]);
        }
    }
    return chunk;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::vector<std::uint8_t> chunk = Shape(data, size);
    if (chunk.empty())
        return 0;

    static ChunkCompressor compressor(ChunkCompressor::Engine::Own, true);
    CompressedBlock block;
    try {
        compressor.Compress(chunk.data(), chunk.size(), block);
    } catch (const CZipException&) {
        std::abort(); // the stream did not decode to the chunk
    }

    static Bzip2BlockDecoder decoder;
    std::vector<unsigned char> padded(block.stream.get(), block.stream.get() + block.streamLength);
    padded.resize(padded.size() + kBzip2ReadSlack);
    std::vector<char> decoded;
    Bzip2BlockDecoder::Block decodedBlock;
    if (!decoder.Decode(padded.data(), block.streamLength, kBzip2HeaderBits, 9, decodedBlock) ||
        decoder.Produce(decoded, chunk.size() + 1) != Bzip2BlockDecoder::Produced::Done ||
        decoded.size() != chunk.size() ||
        std::memcmp(decoded.data(), chunk.data(), chunk.size()) != 0 ||
        decodedBlock.endBit != kBzip2HeaderBits + block.blockBits ||
        decodedBlock.storedCrc != block.blockCrc)
        std::abort();
    return 0;
}
