#include "ziparchive/write/PrecompressedSource.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/fs/PositionalRead.h"
#include "ziparchive/write/EntryTime.h"

#include <sys/stat.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <limits>

namespace {

constexpr std::uint64_t Max32 = 0xFFFFFFFFu;

// The worst case of a joined stream: libbz2's bound for each chunk, plus the stream header
// and trailer.
std::uint64_t WorstCompressedSize(std::uint64_t size) {
    const std::uint64_t chunks = CompressionPool::ChunkCountOf(size);
    return size + size / 100 + 600 * chunks + 16;
}

} // namespace

PrecompressedSource::PrecompressedSource(const FileList& files, CompressionPool& pool,
                                         const std::function<void(std::uint64_t)>& entryWritten)
    : m_files(files), m_pool(pool), m_entryWritten(entryWritten) {}

PrecompressedSource::~PrecompressedSource() = default;

zip_source_t* PrecompressedSource::SourceFor(zip_t* archive) {
    if (m_sourcesGiven++ == 0)
        m_source = zip_source_function(archive, &PrecompressedSource::Call, this);
    else
        zip_source_keep(m_source);
    return m_source;
}

zip_int64_t PrecompressedSource::Call(void* userdata, void* data, zip_uint64_t length,
                                      zip_source_cmd_t command) {
    return static_cast<PrecompressedSource*>(userdata)->Handle(data, length, command);
}

zip_int64_t PrecompressedSource::Handle(void* data, zip_uint64_t length, zip_source_cmd_t command) {
    if (command == ZIP_SOURCE_FREE)
        return 0; // the writer owns this object; libzip only lets go of the source
    if (command == ZIP_SOURCE_SUPPORTS)
        return zip_source_make_command_bitmap(
            ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR,
            ZIP_SOURCE_FREE, ZIP_SOURCE_SUPPORTS, ZIP_SOURCE_GET_FILE_ATTRIBUTES, -1);
    if (command == ZIP_SOURCE_ERROR)
        return zip_error_to_data(m_error.Get(), data, length);
    // The first failure ends the archive; libzip asks nothing more that could succeed.
    if (m_failed)
        return -1;
    if (m_entry.done) {
        // libzip has moved on to the next entry.
        m_entry = Entry{};
        if (++m_index >= m_files.size())
            return Fail(ZIP_ER_INTERNAL, "more entries were read than were added");
    }
    try {
        switch (command) {
        case ZIP_SOURCE_OPEN:
            // The chunks come from the pool once, in order: there is no second pass.
            if (m_entry.opened)
                return Fail(ZIP_ER_INTERNAL, "an entry's data was read twice");
            m_entry.opened = true;
            if (!LearnSize())
                return -1;
            m_entry.joiner.emplace();
            return 0;
        case ZIP_SOURCE_READ:
            return Read(static_cast<std::uint8_t*>(data), length);
        case ZIP_SOURCE_CLOSE:
            return Close();
        case ZIP_SOURCE_STAT:
            return Stat(data, length);
        case ZIP_SOURCE_GET_FILE_ATTRIBUTES:
            return Attributes(data, length);
        default:
            zip_error_set(m_error.Get(), ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    } catch (const std::exception& error) {
        return Fail(ZIP_ER_INTERNAL, error.what());
    } catch (...) {
        return Fail(ZIP_ER_INTERNAL, std::string("cannot pack ") + File().Path());
    }
}

// The file's first chunk tells its size when it was opened, which libzip needs before the data
// to choose the header's form. The chunk stays with the pool until it is pulled.
bool PrecompressedSource::LearnSize() {
    if (m_entry.chunkCount != 0)
        return true;
    CompressedChunk& first = m_pool.WaitNext();
    if (first.file != m_index || first.chunk != 0) {
        Fail(ZIP_ER_INTERNAL, "chunks reached the archive out of order");
        return false;
    }
    if (first.failed) {
        Fail(ZIP_ER_READ,
             first.error.empty() ? std::string("cannot pack ") + File().Path() : first.error);
        return false;
    }
    m_entry.openedSize = first.fileSize;
    m_entry.chunkCount = first.chunkCount;
    return true;
}

zip_int64_t PrecompressedSource::Read(std::uint8_t* destination, zip_uint64_t capacity) {
    if (m_failed)
        return -1;
    if (!m_entry.joiner)
        return Fail(ZIP_ER_INTERNAL, "an entry's data was read before it was opened");
    // libzip asks for a few kilobytes at a time; a new chunk is pulled only when everything
    // joined so far was handed out.
    while (!m_failed && !m_entry.joiner->HasPendingBytes() &&
           (m_entry.chunksPulled < m_entry.chunkCount || m_entry.rest)) {
        if (m_entry.chunksPulled < m_entry.chunkCount)
            PullChunk();
        else
            ReadRest();
    }
    if (m_failed)
        return -1;
    const std::size_t count = m_entry.joiner->Drain(
        destination,
        static_cast<std::size_t>(std::min<zip_uint64_t>(
            capacity, static_cast<zip_uint64_t>(std::numeric_limits<zip_int64_t>::max()))));
    m_entry.compressedSize += count;
    if (count == 0 && capacity > 0 && !m_entry.complete) {
        m_entry.complete = true;
        if (m_entry.bytesRead != m_entry.openedSize && m_changedFiles++ == 0)
            m_firstChanged = File().Path();
    }
    return static_cast<zip_int64_t>(count);
}

void PrecompressedSource::PullChunk() {
    CompressedChunk& chunk = m_pool.WaitNext();
    if (chunk.file != m_index || chunk.chunk != m_entry.chunksPulled) {
        m_pool.ReleaseNext();
        Fail(ZIP_ER_INTERNAL, "chunks reached the archive out of order");
        return;
    }
    if (chunk.failed) {
        const std::string message =
            chunk.error.empty() ? std::string("cannot pack ") + File().Path() : chunk.error;
        m_pool.ReleaseNext();
        Fail(ZIP_ER_READ, message);
        return;
    }
    // Once a read has met the end of the file early, the file ends there: bytes that later
    // reads found past that point were written since, and do not continue what was read.
    if (!m_entry.ended && chunk.length > 0) {
        m_entry.joiner->Append(chunk.block);
        m_entry.crc32 = static_cast<std::uint32_t>(
            ::crc32_combine(m_entry.crc32, chunk.crc32, static_cast<z_off_t>(chunk.length)));
        m_entry.bytesRead += chunk.length;
    }
    const std::uint64_t offset = chunk.chunk * ChunkCompressor::MaxChunk;
    const std::uint64_t planned = std::min<std::uint64_t>(
        ChunkCompressor::MaxChunk, m_entry.openedSize - std::min(m_entry.openedSize, offset));
    if (chunk.length < planned)
        m_entry.ended = true;
    if (chunk.rest && !m_entry.ended)
        m_entry.rest = std::move(chunk.rest);
    chunk.rest.reset();
    m_pool.ReleaseNext();
    if (++m_entry.chunksPulled == m_entry.chunkCount && !m_entry.rest)
        m_entry.joiner->Finish();
}

// The file goes on past the size it had when it was opened: the rest is read through the same
// descriptor, one chunk at a time on this thread, until a read finds its end.
void PrecompressedSource::ReadRest() {
    if (!m_restCompressor) {
        m_restCompressor.emplace();
        m_restInput.resize(ChunkCompressor::MaxChunk);
    }
    const ssize_t got = ReadUpTo(m_entry.rest->fd.Get(), m_entry.bytesRead, m_restInput.data(),
                                 ChunkCompressor::MaxChunk);
    if (got < 0) {
        Fail(ZIP_ER_READ, std::string("cannot pack ") + File().Path() +
                              ": read failed: " + std::strerror(errno));
        return;
    }
    if (got == 0) {
        m_entry.rest.reset();
        m_entry.joiner->Finish();
        return;
    }
    const auto length = static_cast<std::size_t>(got);
    m_restCompressor->Compress(m_restInput.data(), length, m_restBlock);
    m_entry.joiner->Append(m_restBlock);
    const auto crc = ::crc32(0, m_restInput.data(), static_cast<uInt>(length));
    m_entry.crc32 = static_cast<std::uint32_t>(
        ::crc32_combine(m_entry.crc32, crc, static_cast<z_off_t>(length)));
    m_entry.bytesRead += length;
}

zip_int64_t PrecompressedSource::Close() {
    m_entry.joiner.reset();
    m_entry.rest.reset();
    // By now libzip has written every byte of the stream to the archive: this is the moment
    // the entry counts as written, not when it was queued.
    if (m_entry.complete && !m_failed && m_entryWritten) {
        try {
            m_entryWritten(m_index);
        } catch (...) {
            // The caller's own exception ends the archive and reaches the caller as it is.
            m_callbackFailure = std::current_exception();
            Fail(ZIP_ER_CANCELLED, "stopped after an entry was written");
        }
    }
    return 0;
}

zip_int64_t PrecompressedSource::Stat(void* data, zip_uint64_t length) {
    // After the data, a failure kept from reading or from the entry-written callback must fail
    // the entry: libzip ignores what CLOSE returns but not this.
    if (m_failed)
        return -1;
    auto* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, m_error.Get());
    if (!stat)
        return -1;
    zip_stat_init(stat);
    stat->valid = ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_MTIME;
    stat->comp_method = ZIP_CM_BZIP2;
    stat->encryption_method = ZIP_EM_NONE;
    // libzip turns this into the DOS date, which wraps past 2107.
    stat->mtime = ClampToDosRange(File().modified);
    if (m_entry.complete) {
        // libzip 1.7.3 marks this size as "in the ZIP64 field" in the central directory but
        // leaves the field empty.
        if (m_entry.bytesRead == Max32)
            return Fail(ZIP_ER_INCONS,
                        std::string("cannot pack ") + File().Path() +
                            ": it was read as exactly 4,294,967,295 bytes, which cannot be "
                            "stored correctly");
        // The header written before the data has no room for sizes past 32 bits.
        if (!m_entry.declaredZip64 &&
            (m_entry.bytesRead >= Max32 || m_entry.compressedSize >= Max32))
            return Fail(ZIP_ER_INCONS, std::string("cannot pack ") + File().Path() +
                                           ": it grew past 4 GiB while it was read");
        stat->valid |= ZIP_STAT_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_SIZE;
        stat->size = m_entry.bytesRead;
        stat->crc = m_entry.crc32;
        stat->comp_size = m_entry.compressedSize;
        return 0;
    }
    if (!LearnSize())
        return -1;
    if (WorstCompressedSize(m_entry.openedSize) <= Max32) {
        // libzip decides on ZIP64 before the data from the declared size and its own guess
        // of how much BZIP2 can grow it. Where the compressed data might not fit in 32 bits,
        // the size is left out, which makes libzip write ZIP64 fields from the start.
        stat->valid |= ZIP_STAT_SIZE;
        stat->size = m_entry.openedSize;
    } else {
        m_entry.declaredZip64 = true;
    }
    return 0;
}

zip_int64_t PrecompressedSource::Attributes(void* data, zip_uint64_t length) {
    auto* attributes = ZIP_SOURCE_GET_ARGS(zip_file_attributes_t, data, length, m_error.Get());
    if (!attributes)
        return -1;
    attributes->valid |=
        ZIP_FILE_ATTRIBUTES_HOST_SYSTEM | ZIP_FILE_ATTRIBUTES_EXTERNAL_FILE_ATTRIBUTES;
    attributes->host_system = ZIP_OPSYS_UNIX;
    attributes->external_file_attributes = static_cast<zip_uint32_t>(S_IFREG | File().mode) << 16;
    m_entry.done = m_entry.complete;
    return 0;
}

zip_int64_t PrecompressedSource::Fail(int zipError, const std::string& message) noexcept {
    zip_error_set(m_error.Get(), zipError, 0);
    if (!m_failed) {
        m_failed = true;
        try {
            m_failureMessage = message;
        } catch (...) {
            m_failureMessage.clear();
        }
    }
    return -1;
}
