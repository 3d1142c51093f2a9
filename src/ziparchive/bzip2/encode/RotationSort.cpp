#include "ziparchive/bzip2/encode/RotationSort.h"

#include "ziparchive/bzip2/encode/InducedSort.h"

#include <divsufsort.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

// A suffix sorter orders suffixes, and a suffix that is a prefix of another sorts first; the
// rotations starting there may sort the other way, because each rotation carries on with the
// start of the block. Started at its least rotation, the block is a power of a word w that is
// smaller than each of its own proper rotations. Then whenever suffix u is a proper prefix of
// suffix v, u's rotation carries on with the block itself and v's with a proper suffix s of the
// block, not a multiple of w long, or both rotations are equal. The block is smaller than s at
// a position within s, so u's rotation is the smaller one too: the suffix order is the rotation
// order. Equal rotations (a block made of one word repeated) end in the same byte, so how they
// tie changes neither the last column nor the decoding from any of them.

namespace {

// Below this many bytes induced sorting is the faster: the general sorter spends about 100 us
// on any block, whatever its size, walking its 65,536 buckets of byte pairs.
constexpr std::size_t kInducedBelow = 8 * 1024;

// The smallest byte value in the block.
std::uint8_t SmallestByte(const std::uint8_t* block, std::size_t size) {
    std::uint8_t smallest = 0xff;
    for (std::size_t i = 0; i < size; ++i)
        smallest = std::min(smallest, block[i]);
    return smallest;
}

} // namespace

std::size_t LeastRotation(const std::uint8_t* block, std::size_t size) {
    // Two candidates i and j compared over k bytes; a mismatch rules out the larger candidate
    // and every start within the compared stretch, so the whole search is linear. A rotation
    // that starts with a byte other than the block's smallest cannot be the least, so each
    // candidate moves straight on to the next start holding that byte, or past the end when
    // there is none. Away from the block's end, eight bytes are compared at once: long runs are
    // common.
    const std::uint8_t smallest = SmallestByte(block, size);
    const auto nextStart = [&](std::size_t from) {
        if (from >= size)
            return from;
        const void* found = std::memchr(block + from, smallest, size - from);
        return found ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - block)
                     : size;
    };
    std::size_t i = nextStart(0), j = nextStart(i + 1), k = 0;
    while (i < size && j < size && k < size) {
        std::size_t a = i + k, b = j + k;
        if (a >= size)
            a -= size;
        if (b >= size)
            b -= size;
        if (a + 8 <= size && b + 8 <= size && k + 8 <= size) {
            std::uint64_t left, right;
            std::memcpy(&left, block + a, sizeof left);
            std::memcpy(&right, block + b, sizeof right);
            if (left == right) {
                k += 8;
                continue;
            }
            if constexpr (std::endian::native == std::endian::little) {
                const auto first = static_cast<std::size_t>(std::countr_zero(left ^ right)) / 8;
                k += first;
                a += first;
                b += first;
            }
        }
        if (block[a] == block[b]) {
            ++k;
            continue;
        }
        if (block[a] > block[b])
            i = nextStart(i + k + 1);
        else
            j = nextStart(j + k + 1);
        if (i == j)
            j = nextStart(j + 1);
        k = 0;
    }
    return i < j ? i : j;
}

std::uint32_t RotationSort::Sort(const std::uint8_t* block, std::size_t size, std::uint8_t* last) {
    const std::size_t start = LeastRotation(block, size);
    if (m_rotated.size() < size) {
        m_rotated.resize(size);
        m_order.resize(size);
    }
    std::uint8_t* rotated = m_rotated.data();
    std::memcpy(rotated, block + start, size - start);
    std::memcpy(rotated + (size - start), block, start);

    std::int32_t* order = m_order.data();
    if (size < kInducedBelow)
        InducedSuffixArray(rotated, order, size);
    else if (divsufsort(rotated, order, static_cast<saidx_t>(size)) != 0)
        throw std::bad_alloc();

    // The block itself is the rotation of the rotated copy that starts where the copy has the
    // block's first byte.
    const auto original = static_cast<std::int32_t>(start == 0 ? 0 : size - start);
    std::uint32_t origin = 0;
    for (std::size_t row = 0; row < size; ++row) {
        const std::int32_t at = order[row];
        last[row] = rotated[at == 0 ? size - 1 : static_cast<std::size_t>(at - 1)];
        if (at == original)
            origin = static_cast<std::uint32_t>(row);
    }
    return origin;
}
