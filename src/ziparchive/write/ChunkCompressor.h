#pragma once

#include "ziparchive/bzip2/Bzip2Arena.h"
#include "ziparchive/bzip2/CompressedBlock.h"
#include "ziparchive/bzip2/encode/Bzip2BlockEncoder.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// Compresses chunks at block size 9 into single-block streams with our own encoder, or with
// libbz2 for a chunk whose stream would outgrow the buffer. Reuses its buffers between chunks.
// One per thread.
class ChunkCompressor {
public:
    // The largest chunk that always fits in one level-9 block: the first run-length stage grows
    // data by at most 5/4, and a block holds 899,981 bytes after it.
    static constexpr std::size_t MaxChunk = Bzip2BlockEncoder::MaxInput;
    // The buffer every block gets: what libbz2 promises always suffices for a chunk (1% more
    // than the input plus 600 bytes).
    static constexpr std::size_t StreamCapacity = MaxChunk + MaxChunk / 100 + 600;

    // Libbz2 is there for comparison: the benchmark and the tests measure our encoder by it.
    enum class Engine { Own, Libbz2 };

    // With verify, every stream is decoded again by libbz2 and compared with its chunk. Tests
    // and fuzzing turn it on, directly or with TARVO_VERIFY_BZIP2=1 in the environment.
    explicit ChunkCompressor(Engine engine = Engine::Own, bool verify = VerifyRequested());

    // data must be 1 to MaxChunk bytes. Throws CZipException when compression fails, the
    // result is not a single block, or a verified stream does not decode to the chunk.
    void Compress(const std::uint8_t* data, std::size_t size, CompressedBlock& block);

    static bool VerifyRequested();

private:
    void CompressWithLibbz2(const std::uint8_t* data, std::size_t size, CompressedBlock& block);
    void Verify(const std::uint8_t* data, std::size_t size, const CompressedBlock& block);

    Engine m_engine;
    bool m_verify;
    Bzip2BlockEncoder m_encoder;
    Bzip2Arena m_arena;
    std::unique_ptr<char[]> m_decoded; // the verifying decode, MaxChunk + 1 bytes
};
