#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Writes bits most significant first, as bzip2 stores them, into a buffer the caller owns. Bits
// gather in a 64-bit register; each call stores all eight of its bytes and moves on past the
// whole ones, so no call branches on how full the register is. Near the buffer's end the bytes
// go one by one, and writing stops being recorded once the buffer would overflow;
// Overflowed() then tells the caller to give up on the output.
class BitWriter {
public:
    BitWriter(std::uint8_t* buffer, std::size_t capacity)
        : m_buffer(buffer), m_capacity(capacity) {}

    // count is 1 to 32; value must fit in count bits.
    void Put(std::uint32_t value, unsigned count) {
        // Fewer than 8 bits are held between calls, so at most 39 are held here.
        m_register |= std::uint64_t{value} << (64 - m_held - count);
        m_held += count;
        const unsigned whole = m_held / 8;
        if (m_length + 8 <= m_capacity) [[likely]] {
            std::uint64_t word = m_register;
            if constexpr (std::endian::native == std::endian::little)
                word = __builtin_bswap64(word);
            std::memcpy(m_buffer + m_length, &word, sizeof word);
        } else {
            for (unsigned b = 0; b < whole; ++b) {
                if (m_length + b < m_capacity)
                    m_buffer[m_length + b] = static_cast<std::uint8_t>(m_register >> (56 - 8 * b));
            }
        }
        m_length += whole;
        m_register <<= 8 * whole;
        m_held -= 8 * whole;
    }

    // Pads the last byte with zero bits and writes it out.
    void Finish() {
        if (m_held == 0)
            return;
        if (m_length < m_capacity)
            m_buffer[m_length] = static_cast<std::uint8_t>(m_register >> 56);
        ++m_length;
        m_register = 0;
        m_held = 0;
    }

    std::uint64_t BitsWritten() const { return std::uint64_t{m_length} * 8 + m_held; }
    std::size_t Length() const { return m_length; }
    bool Overflowed() const { return m_length > m_capacity; }

private:
    std::uint8_t* m_buffer;
    std::size_t m_capacity;
    std::size_t m_length = 0;
    std::uint64_t m_register = 0;
    unsigned m_held = 0;
};
