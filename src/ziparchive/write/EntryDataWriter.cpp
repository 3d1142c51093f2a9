#include "ziparchive/write/EntryDataWriter.h"

#include "ziparchive/fs/PositionalRead.h"
#include "ziparchive/write/ArchiveOutput.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Joined bytes go to the output in pieces of at most this much.
constexpr std::size_t DrainPiece = 256 * 1024;

} // namespace

EntryDataWriter::EntryDataWriter(const FileList& files, CompressionPool& pool)
    : m_files(files), m_pool(pool) {}

EntryDataWriter::~EntryDataWriter() = default;

void EntryDataWriter::Fail(const std::string& message) const {
    throw PackFailure(message);
}

PackFailure EntryDataWriter::FailureOf(const CompressedChunk& chunk) const {
    return PackFailure(chunk.error.empty() ? std::string("cannot pack ") + m_files[m_index].Path()
                                           : chunk.error);
}

// The file's first chunk tells its size when it was opened, which the local header needs
// before the data to choose its form. The chunk stays with the pool until it is pulled.
std::uint64_t EntryDataWriter::OpenedSize(std::size_t index) {
    if (m_started && index == m_index)
        return m_openedSize;
    m_index = index;
    m_started = true;
    m_rest.reset();
    m_chunksPulled = 0;
    m_ended = false;
    m_data = EntryData{};
    const CompressedChunk& first = m_pool.WaitNext();
    if (first.file != m_index || first.chunk != 0)
        Fail("chunks reached the archive out of order");
    if (first.failed)
        throw FailureOf(first);
    m_openedSize = first.fileSize;
    m_chunkCount = first.chunkCount;
    return m_openedSize;
}

EntryData EntryDataWriter::Write(std::size_t index, ArchiveOutput& output) {
    OpenedSize(index);
    m_joiner.emplace();
    // A new chunk is pulled only when everything joined so far went to the output, so the
    // joiner holds at most one block.
    while (m_chunksPulled < m_chunkCount || m_rest) {
        if (m_chunksPulled < m_chunkCount)
            PullChunk();
        else
            ReadRest();
        Drain(output);
    }
    Drain(output);
    m_joiner.reset();
    m_started = false;
    if (m_data.size != m_openedSize && m_changedFiles++ == 0)
        m_firstChanged = m_files[m_index].Path();
    return m_data;
}

void EntryDataWriter::Drain(ArchiveOutput& output) {
    if (m_drained.empty())
        m_drained.resize(DrainPiece);
    while (m_joiner->HasPendingBytes()) {
        const std::size_t count = m_joiner->Drain(m_drained.data(), m_drained.size());
        output.Write(m_drained.data(), count);
        m_data.compressedSize += count;
    }
}

void EntryDataWriter::PullChunk() {
    CompressedChunk& chunk = m_pool.WaitNext();
    if (chunk.file != m_index || chunk.chunk != m_chunksPulled) {
        m_pool.ReleaseNext();
        Fail("chunks reached the archive out of order");
    }
    if (chunk.failed) {
        // The chunk's message is taken before the chunk goes back to the pool.
        const PackFailure failure = FailureOf(chunk);
        m_pool.ReleaseNext();
        throw failure;
    }
    // Once a read has met the end of the file early, the file ends there: bytes that later
    // reads found past that point were written since, and do not continue what was read.
    if (!m_ended && chunk.length > 0) {
        m_joiner->Append(chunk.block);
        m_data.crc32 = static_cast<std::uint32_t>(
            ::crc32_combine(m_data.crc32, chunk.crc32, static_cast<z_off_t>(chunk.length)));
        m_data.size += chunk.length;
    }
    const std::uint64_t offset = chunk.chunk * ChunkCompressor::MaxChunk;
    const std::uint64_t planned = std::min<std::uint64_t>(
        ChunkCompressor::MaxChunk, m_openedSize - std::min(m_openedSize, offset));
    if (chunk.length < planned)
        m_ended = true;
    if (chunk.rest && !m_ended)
        m_rest = std::move(chunk.rest);
    chunk.rest.reset();
    m_pool.ReleaseNext();
    if (++m_chunksPulled == m_chunkCount && !m_rest)
        m_joiner->Finish();
}

// The file goes on past the size it had when it was opened: the rest is read through the same
// descriptor, one chunk at a time on this thread, until a read finds its end.
void EntryDataWriter::ReadRest() {
    if (!m_restCompressor) {
        m_restCompressor.emplace();
        m_restInput.resize(ChunkCompressor::MaxChunk);
    }
    const ssize_t got =
        ReadUpTo(m_rest->fd.Get(), m_data.size, m_restInput.data(), ChunkCompressor::MaxChunk);
    if (got < 0)
        Fail(std::string("cannot pack ") + m_files[m_index].Path() +
             ": read failed: " + std::strerror(errno));
    if (got == 0) {
        m_rest.reset();
        m_joiner->Finish();
        return;
    }
    const auto length = static_cast<std::size_t>(got);
    m_restCompressor->Compress(m_restInput.data(), length, m_restBlock);
    m_joiner->Append(m_restBlock);
    const auto crc = ::crc32(0, m_restInput.data(), static_cast<uInt>(length));
    m_data.crc32 = static_cast<std::uint32_t>(
        ::crc32_combine(m_data.crc32, crc, static_cast<z_off_t>(length)));
    m_data.size += length;
}
