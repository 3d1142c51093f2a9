#include "ziparchive/write/CompressionPool.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/write/ChunkReader.h"

#include <zlib.h>

#include <algorithm>
#include <exception>
#include <system_error>

namespace {

// Keeps the message of a failure for the consumer. Runs on a worker, where nothing may escape:
// when even the message cannot be kept, the chunk still counts as failed.
void NoteFailure(const std::exception_ptr& failure, std::string& message) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        try {
            message = error.what();
        } catch (...) {
            message.clear();
        }
    } catch (...) {
        message.clear();
    }
}

} // namespace

std::uint64_t CompressionPool::ChunkCountOf(std::uint64_t size) {
    if (size == 0)
        return 1;
    return (size + ChunkCompressor::MaxChunk - 1) / ChunkCompressor::MaxChunk;
}

CompressionPool::CompressionPool(const FileList& files, unsigned threads, std::size_t window)
    : m_files(files), m_window(window == 0 ? 1 : window), m_slots(m_window) {
    try {
        for (unsigned i = 0; i < (threads == 0 ? 1 : threads); ++i)
            m_workers.emplace_back([this] { Work(); });
    } catch (const std::system_error& error) {
        Stop();
        throw CZipException(std::string("cannot start the compression threads: ") + error.what());
    }
}

CompressionPool::~CompressionPool() {
    Stop();
}

void CompressionPool::Stop() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_slotFree.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
    m_workers.clear();
}

bool CompressionPool::ClaimNext(Claim& claim) {
    std::unique_lock lock(m_mutex);
    m_slotFree.wait(lock, [this] {
        return m_stopping || m_claimFile >= m_files.size() ||
               m_nextClaim < m_nextConsumed + m_window;
    });
    if (m_stopping || m_claimFile >= m_files.size())
        return false;
    if (m_claimChunk == 0) {
        // Opened here, under the lock, because the file's size at this moment decides how
        // many chunks it has, and so where the next file's chunks fall.
        m_claimOpened = std::make_shared<const OpenedFile>(OpenForPacking(m_files[m_claimFile]));
        m_claimChunkCount = m_claimOpened->failure.empty() ? ChunkCountOf(m_claimOpened->size) : 1;
    }
    claim.sequence = m_nextClaim++;
    claim.file = m_claimFile;
    claim.chunk = m_claimChunk;
    claim.chunkCount = m_claimChunkCount;
    claim.opened = m_claimOpened;
    if (++m_claimChunk == m_claimChunkCount) {
        ++m_claimFile;
        m_claimChunk = 0;
        m_claimOpened.reset();
    }
    return true;
}

void CompressionPool::Work() {
    ChunkCompressor compressor;
    std::vector<std::uint8_t> input;
    CompressedChunk result;
    Claim claim{};
    while (ClaimNext(claim)) {
        Process(claim, compressor, input, result);
        claim.opened.reset(); // the last chunk's worker closes the file, unless more follows
        {
            std::lock_guard lock(m_mutex);
            Slot& slot = m_slots[claim.sequence % m_window];
            // The slot's previous chunk was released, so its buffer can be reused here.
            std::swap(slot.chunk, result);
            slot.ready = true;
        }
        m_chunkReady.notify_one();
    }
}

void CompressionPool::Process(const Claim& claim, ChunkCompressor& compressor,
                              std::vector<std::uint8_t>& input, CompressedChunk& result) const {
    const FileToPack file = m_files[claim.file];
    const OpenedFile& opened = *claim.opened;
    const std::uint64_t offset = claim.chunk * ChunkCompressor::MaxChunk;
    const bool last = claim.chunk + 1 == claim.chunkCount;
    result.file = claim.file;
    result.chunk = claim.chunk;
    result.chunkCount = claim.chunkCount;
    result.fileSize = opened.size;
    result.length = 0;
    result.crc32 = 0;
    result.rest.reset();
    result.failed = false;
    result.error.clear();
    try {
        if (!opened.failure.empty())
            throw CZipException(opened.failure);
        const auto planned = static_cast<std::size_t>(std::min<std::uint64_t>(
            ChunkCompressor::MaxChunk, opened.size - std::min(opened.size, offset)));
        input.resize(ChunkCompressor::MaxChunk);
        const ChunkRead read = ReadChunk(file, opened, offset, planned, last, input.data());
        result.length = read.length;
        if (read.moreFollows)
            result.rest = claim.opened;
        result.crc32 =
            static_cast<std::uint32_t>(::crc32(0, input.data(), static_cast<uInt>(result.length)));
        if (result.length > 0)
            compressor.Compress(input.data(), result.length, result.block);
    } catch (...) {
        result.failed = true;
        NoteFailure(std::current_exception(), result.error);
    }
}

CompressedChunk& CompressionPool::WaitNext() {
    std::unique_lock lock(m_mutex);
    if (m_nextConsumed >= m_nextClaim && m_claimFile >= m_files.size())
        throw CZipException("more chunks were asked for than the files hold");
    Slot& slot = m_slots[m_nextConsumed % m_window];
    m_chunkReady.wait(lock, [&slot] { return slot.ready; });
    return slot.chunk;
}

void CompressionPool::ReleaseNext() {
    {
        std::lock_guard lock(m_mutex);
        Slot& slot = m_slots[m_nextConsumed % m_window];
        if (m_released)
            m_released->fetch_add(slot.chunk.length, std::memory_order_relaxed);
        slot.ready = false;
        ++m_nextConsumed;
    }
    m_slotFree.notify_all();
}
