#pragma once

#include "ziparchive/DecodeResult.h"

#include <cstddef>
#include <cstdint>
#include <optional>

class EntryOutput;

// Where every decoder puts an entry's decoded bytes: it writes them to the output, counts them
// against the size the directory declares and keeps their CRC-32. Bytes past the declared size
// are corruption the moment they arrive, so a bomb costs the decoder one buffer.
class CheckedSink {
public:
    // `declaredCrc` is what the bytes must come to; nullopt when the source checks it itself.
    // The output is borrowed.
    CheckedSink(std::uint64_t declaredSize, std::optional<std::uint32_t> declaredCrc,
                EntryOutput& output)
        : m_size(declaredSize), m_declaredCrc(declaredCrc), m_output(output) {}

    // Takes the next `length` decoded bytes. False when they run past the declared size or
    // cannot be written; Failure() then says which, and decoding ends there.
    bool Take(const char* data, std::size_t length);
    const DecodeResult& Failure() const { return m_failure; }

    // How many more bytes the declared size allows.
    std::uint64_t Room() const { return m_size - m_total; }

    // The verdict once the data has ended: every declared byte came, and the CRC matches.
    DecodeResult Finish() const;

private:
    std::uint64_t m_size;
    std::optional<std::uint32_t> m_declaredCrc;
    EntryOutput& m_output;
    std::uint64_t m_total = 0;
    std::uint32_t m_crc = 0;
    DecodeResult m_failure;
};
