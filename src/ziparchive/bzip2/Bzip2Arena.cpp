#include "ziparchive/bzip2/Bzip2Arena.h"

void Bzip2Arena::Attach(bz_stream& stream) {
    stream.bzalloc = &Bzip2Arena::Allocate;
    stream.bzfree = &Bzip2Arena::Release;
    stream.opaque = this;
}

void* Bzip2Arena::Allocate(void* opaque, int items, int itemSize) {
    auto& arena = *static_cast<Bzip2Arena*>(opaque);
    if (items < 0 || itemSize < 0)
        return nullptr;
    const std::size_t size = static_cast<std::size_t>(items) * static_cast<std::size_t>(itemSize);
    // A stream asks for the same few sizes every time, so an exact match is the common case.
    for (Buffer& buffer : arena.m_buffers) {
        if (!buffer.inUse && buffer.size == size) {
            buffer.inUse = true;
            return buffer.memory.get();
        }
    }
    try {
        Buffer buffer;
        buffer.memory.reset(std::malloc(size == 0 ? 1 : size));
        if (!buffer.memory)
            return nullptr;
        buffer.size = size;
        buffer.inUse = true;
        arena.m_buffers.push_back(std::move(buffer));
        return arena.m_buffers.back().memory.get();
    } catch (...) {
        return nullptr;
    }
}

void Bzip2Arena::Release(void* opaque, void* memory) {
    auto& arena = *static_cast<Bzip2Arena*>(opaque);
    for (Buffer& buffer : arena.m_buffers) {
        if (buffer.memory.get() == memory) {
            buffer.inUse = false;
            return;
        }
    }
}
