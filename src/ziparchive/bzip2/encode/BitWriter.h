#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Writes bits most significant first, as bzip2 stores them, into a buffer the caller owns. Bits
// gather in a 64-bit register and leave it four bytes at a time. Writing stops being recorded
// once the buffer would overflow; Overflowed() then tells the caller to give up on the output.
class BitWriter {
public:
    BitWriter(std::uint8_t* buffer, std::size_t capacity)
        : m_buffer(buffer), m_capacity(capacity) {}

    // count is 1 to 32; value must fit in count bits.
    void Put(std::uint32_t value, unsigned count) {
        m_register |= std::uint64_t{value} << (64 - m_held - count);
        m_held += count;
        if (m_held >= 32)
            Flush32();
    }

    // Pads the last byte with zero bits and writes out what is held.
    void Finish() {
        while (m_held > 0) {
            if (m_length < m_capacity)
                m_buffer[m_length] = static_cast<std::uint8_t>(m_register >> 56);
            ++m_length;
            m_register <<= 8;
            m_held = m_held > 8 ? m_held - 8 : 0;
        }
    }

    std::uint64_t BitsWritten() const { return std::uint64_t{m_length} * 8 + m_held; }
    std::size_t Length() const { return m_length; }
    bool Overflowed() const { return m_length > m_capacity; }

private:
    void Flush32() {
        if (m_length + 4 <= m_capacity) {
            std::uint32_t word = static_cast<std::uint32_t>(m_register >> 32);
            if constexpr (std::endian::native == std::endian::little)
                word = __builtin_bswap32(word);
            std::memcpy(m_buffer + m_length, &word, sizeof word);
        }
        m_length += 4;
        m_register <<= 32;
        m_held -= 32;
    }

    std::uint8_t* m_buffer;
    std::size_t m_capacity;
    std::size_t m_length = 0;
    std::uint64_t m_register = 0;
    unsigned m_held = 0;
};
