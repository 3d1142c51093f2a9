#pragma once

#include <cstddef>
#include <vector>

// Memory for one thread's bzip2 decompression streams. A stream allocates a few megabytes at
// start and frees them at its end; with one stream per entry and thousands of small entries,
// fresh allocations (mapped and faulted in each time) cost a large share of the time. This
// keeps freed blocks and hands them to the next stream. Not for sharing between threads.
class Bzip2Memory {
public:
    Bzip2Memory() = default;
    ~Bzip2Memory();
    Bzip2Memory(const Bzip2Memory&) = delete;
    Bzip2Memory& operator=(const Bzip2Memory&) = delete;

    // The allocator pair for bz_stream, with `this` as opaque.
    static void* Allocate(void* self, int count, int size);
    static void Release(void* self, void* block);

private:
    struct Block {
        void* address;
        std::size_t size;
    };
    std::vector<Block> m_inUse;
    std::vector<Block> m_spare;
};
