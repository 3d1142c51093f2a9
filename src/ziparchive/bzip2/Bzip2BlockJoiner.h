#pragma once

#include "ziparchive/write/ChunkCompressor.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Joins single-block streams, compressed independently, into one valid bzip2 stream: one
// header, the blocks' bits back to back at whatever bit offset they land on, then the end
// marker with the combined CRC. Several whole streams one after another would not do: zip
// readers stop or fail after the first.
//
// Bytes are handed out as soon as they are complete, so the joiner holds at most one block
// plus a partial byte.
class Bzip2BlockJoiner {
public:
    Bzip2BlockJoiner();

    void Append(const CompressedBlock& block);
    // Writes the end marker and the combined CRC and pads to a whole byte. Nothing may be
    // appended after it.
    void Finish();

    // Moves up to capacity complete bytes into destination; returns how many.
    std::size_t Drain(std::uint8_t* destination, std::size_t capacity);
    bool HasPendingBytes() const { return m_read < CompleteBytes(); }

    // The combined CRC of the blocks so far: each step rotates it left by one and adds the
    // block's CRC by xor.
    std::uint32_t StreamCrc() const { return m_streamCrc; }

private:
    void PutBits(std::uint64_t value, unsigned count);
    void PutAlignedBytes(const std::uint8_t* bytes, std::size_t count);
    std::size_t CompleteBytes() const { return m_bytes.size() - (m_bitsInLastByte ? 1 : 0); }

    std::vector<std::uint8_t> m_bytes;
    std::size_t m_read = 0;
    unsigned m_bitsInLastByte = 0; // 0: the last byte is complete
    std::uint32_t m_streamCrc = 0;
    bool m_finished = false;
};
