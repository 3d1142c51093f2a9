#include "ziparchive/write/ChunkCompressor.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/bzip2/Bzip2Format.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int Level = 9;
constexpr std::uint64_t TrailerBits = kBzip2MarkerBits + 32; // end marker and combined CRC

// Ends the stream on every path, so the arena gets its buffers back.
class CompressStream {
public:
    explicit CompressStream(Bzip2Arena& arena) {
        arena.Attach(m_stream);
        const int result = BZ2_bzCompressInit(&m_stream, Level, 0, 0);
        if (result != BZ_OK)
            throw CZipException("cannot start bzip2 compression (error " + std::to_string(result) +
                                ")");
    }
    ~CompressStream() { BZ2_bzCompressEnd(&m_stream); }
    CompressStream(const CompressStream&) = delete;
    CompressStream& operator=(const CompressStream&) = delete;

    bz_stream& operator*() { return m_stream; }

private:
    bz_stream m_stream{};
};

} // namespace

ChunkCompressor::ChunkCompressor(Engine engine, bool verify) : m_engine(engine), m_verify(verify) {}

bool ChunkCompressor::VerifyRequested() {
    static const bool requested = [] {
        const char* value = std::getenv("TARVO_VERIFY_BZIP2");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return requested;
}

void ChunkCompressor::Compress(const std::uint8_t* data, std::size_t size, CompressedBlock& block) {
    if (size == 0 || size > MaxChunk)
        throw CZipException("chunk size out of range");
    if (block.capacity < StreamCapacity) {
        block.stream = std::make_unique_for_overwrite<std::uint8_t[]>(StreamCapacity);
        block.capacity = StreamCapacity;
    }
    // Our encoder's stream is about as long as libbz2's; on data that does not compress it may
    // come out a little longer than libbz2's bound, and then libbz2 does the chunk.
    if (m_engine == Engine::Libbz2 || !m_encoder.Encode(data, size, block))
        CompressWithLibbz2(data, size, block);
    if (m_verify)
        Verify(data, size, block);
}

void ChunkCompressor::Verify(const std::uint8_t* data, std::size_t size,
                             const CompressedBlock& block) {
    if (!m_decoded)
        m_decoded = std::make_unique_for_overwrite<char[]>(MaxChunk + 1);
    // One byte of room more than the chunk, so a stream that decodes to more shows it.
    unsigned decodedSize = static_cast<unsigned>(MaxChunk + 1);
    const int result = BZ2_bzBuffToBuffDecompress(
        m_decoded.get(), &decodedSize,
        reinterpret_cast<char*>(const_cast<std::uint8_t*>(block.stream.get())),
        static_cast<unsigned>(block.streamLength), 0, 0);
    // The joiner relies on where the block ends and on its CRC, not on the stream as a whole.
    const std::uint8_t* bytes = block.stream.get();
    const std::size_t length = block.streamLength;
    const std::uint64_t endMarker = kBzip2HeaderBits + block.blockBits;
    const bool boundsSound =
        endMarker + TrailerBits <= std::uint64_t{length} * 8 &&
        ReadMarker(bytes, length, endMarker) == kBzip2EndMarker &&
        ReadBits32(bytes, length, endMarker + kBzip2MarkerBits) == block.blockCrc;
    if (result != BZ_OK || decodedSize != size || std::memcmp(m_decoded.get(), data, size) != 0 ||
        !boundsSound)
        throw CZipException("a compressed chunk does not decode to its bytes (error " +
                            std::to_string(result) + ")");
}

void ChunkCompressor::CompressWithLibbz2(const std::uint8_t* data, std::size_t size,
                                         CompressedBlock& block) {
    CompressStream stream(m_arena);
    (*stream).next_in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(data));
    (*stream).avail_in = static_cast<unsigned>(size);
    (*stream).next_out = reinterpret_cast<char*>(block.stream.get());
    (*stream).avail_out = static_cast<unsigned>(block.capacity);
    int result = BZ_FINISH_OK;
    while (result == BZ_FINISH_OK && (*stream).avail_out > 0)
        result = BZ2_bzCompress(&*stream, BZ_FINISH);
    if (result != BZ_STREAM_END)
        throw CZipException("bzip2 compression failed (error " + std::to_string(result) + ")");
    block.streamLength = block.capacity - (*stream).avail_out;

    // libbz2 does not say how many padding bits end the stream, so try each: the end marker
    // must sit right there, followed by the stream CRC, which for a single block equals the
    // block's own CRC (stored right after the block magic). A second block would break that
    // equality, so this also proves the chunk made exactly one block.
    const std::uint8_t* bytes = block.stream.get();
    const std::uint64_t totalBits = static_cast<std::uint64_t>(block.streamLength) * 8;
    const std::size_t length = block.streamLength;
    if (totalBits < kBzip2HeaderBits + kBzip2MarkerBits + 32 + TrailerBits)
        throw CZipException("bzip2 produced a stream too short to hold a block");
    block.blockCrc = ReadBits32(bytes, length, kBzip2HeaderBits + kBzip2MarkerBits);
    for (unsigned padding = 0; padding < 8; ++padding) {
        const std::uint64_t marker = totalBits - TrailerBits - padding;
        if (ReadMarker(bytes, length, marker) == kBzip2EndMarker &&
            ReadBits32(bytes, length, marker + kBzip2MarkerBits) == block.blockCrc) {
            block.blockBits = marker - kBzip2HeaderBits;
            return;
        }
    }
    throw CZipException("bzip2 did not produce exactly one block for a chunk");
}
