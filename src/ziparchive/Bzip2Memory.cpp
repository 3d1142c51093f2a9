#include "ziparchive/Bzip2Memory.h"

#include <cstdlib>

namespace {

// A stream holds two or three blocks; a few more covers the next stream's needs.
constexpr std::size_t kMostSpareBlocks = 6;

} // namespace

Bzip2Memory::~Bzip2Memory() {
    for (const Block& block : m_inUse)
        std::free(block.address);
    for (const Block& block : m_spare)
        std::free(block.address);
}

void* Bzip2Memory::Allocate(void* self, int count, int size) {
    auto& memory = *static_cast<Bzip2Memory*>(self);
    if (count <= 0 || size <= 0)
        return nullptr;
    const std::size_t bytes = static_cast<std::size_t>(count) * static_cast<std::size_t>(size);
    for (auto it = memory.m_spare.begin(); it != memory.m_spare.end(); ++it) {
        if (it->size == bytes) {
            const Block block = *it;
            memory.m_spare.erase(it);
            memory.m_inUse.push_back(block);
            return block.address;
        }
    }
    void* address = std::malloc(bytes);
    if (address)
        memory.m_inUse.push_back({address, bytes});
    return address;
}

void Bzip2Memory::Release(void* self, void* address) {
    auto& memory = *static_cast<Bzip2Memory*>(self);
    for (auto it = memory.m_inUse.begin(); it != memory.m_inUse.end(); ++it) {
        if (it->address == address) {
            const Block block = *it;
            memory.m_inUse.erase(it);
            if (memory.m_spare.size() >= kMostSpareBlocks) {
                std::free(memory.m_spare.front().address);
                memory.m_spare.erase(memory.m_spare.begin());
            }
            memory.m_spare.push_back(block);
            return;
        }
    }
    std::free(address);
}
