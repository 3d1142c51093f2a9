#include "ziparchive/write/ZipWriter.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/ThreadBudget.h"
#include "ziparchive/fs/ParentFolder.h"
#include "ziparchive/fs/ToNarrow.h"
#include "ziparchive/write/ArchiveOutput.h"
#include "ziparchive/write/CentralDirectoryWriter.h"
#include "ziparchive/write/CompressionPool.h"
#include "ziparchive/write/EntryDataWriter.h"
#include "ziparchive/write/EntryName.h"
#include "ziparchive/write/EntryTime.h"
#include "ziparchive/write/WrittenEntry.h"
#include "ziparchive/write/ZipHeaders.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

// The most a joined stream of a file of this size can take: libbz2's bound for each chunk,
// plus the stream's header and trailer.
std::uint64_t WorstCompressedSize(std::uint64_t size) {
    const std::uint64_t chunks = CompressionPool::ChunkCountOf(size);
    return size + size / 100 + 600 * chunks + 16;
}

} // namespace

ZipWriter::ZipWriter(const QString& path, unsigned threads)
    : m_path(ToNarrow(path)), m_threads(ThreadCountFor(threads)) {
    if (m_path.empty())
        throw CZipException("no archive path given");
    // Fail now rather than after compressing everything when the folder is not there.
    const std::string folder = ParentFolder(m_path);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw CZipException("cannot create " + m_path + ": the folder " + folder +
                            " does not exist");
}

ZipWriter::~ZipWriter() = default;

void ZipWriter::AddFile(const std::string& filePath, const std::string& entryName) {
    if (m_committed)
        throw CZipException("the archive was already written");
    CheckEntryName(entryName);
    struct stat info {};
    if (::lstat(filePath.c_str(), &info) != 0)
        throw CZipException("cannot read " + filePath + ": " + std::strerror(errno));
    // A link stands for the file it points to, as in the folder walk.
    const bool throughLink = S_ISLNK(info.st_mode);
    if (throughLink && ::stat(filePath.c_str(), &info) != 0)
        throw CZipException("cannot read " + filePath + ": " + std::strerror(errno));
    if (!S_ISREG(info.st_mode))
        throw CZipException("cannot pack " + filePath + ": it is not a regular file");
    m_files.Add(filePath, entryName, info.st_mode & 07777, info.st_mtime, throughLink);
    m_totalBytes += static_cast<std::uint64_t>(info.st_size);
}

void ZipWriter::SetEntryWrittenCallback(std::function<void(std::uint64_t)> callback) {
    m_entryWritten = std::move(callback);
}

void ZipWriter::Commit() {
    if (m_committed)
        throw CZipException("the archive was already written");
    m_committed = true;
    ThrowIfStopped();
    try {
        if (m_files.empty())
            CommitEmpty();
        else
            CommitEntries();
    } catch (const PackFailure& failure) {
        ThrowIfStopped();
        throw CZipException("cannot write " + m_path + ": " + failure.what());
    } catch (...) {
        // A stop fails the write wherever it finds it; the temporary is gone either way.
        ThrowIfStopped();
        throw;
    }
}

bool ZipWriter::Stopped() const {
    return m_stop && m_stop->load();
}

void ZipWriter::ThrowIfStopped() const {
    if (Stopped())
        throw CZipStopped("writing " + m_path + " was stopped");
}

void ZipWriter::CommitEmpty() {
    // An end-of-central-directory record alone.
    ArchiveOutput output(m_path);
    output.Begin();
    WriteCentralDirectory(m_files, {}, output);
    output.Commit();
}

void ZipWriter::CommitEntries() {
    // The pool starts compressing at once, while the output is being set up.
    CompressionPool pool(m_files, m_threads, Window);
    pool.CountReleasedInto(m_progress);
    ArchiveOutput output(m_path);
    output.SetStopFlag(m_stop);
    output.Begin();
    EntryDataWriter data(m_files, pool);
    std::vector<WrittenEntry> written;
    written.reserve(m_files.size());
    for (std::size_t i = 0; i < m_files.size(); ++i) {
        written.push_back(WriteEntry(i, data, output));
        // By now every byte of the entry is in the output: this is the moment it counts as
        // written, not when it was queued. What the callback throws reaches the caller as it
        // is, and the output is rolled back on the way.
        if (m_entryWritten)
            m_entryWritten(i);
    }
    WriteCentralDirectory(m_files, written, output);
    output.Commit();
    m_changedFiles = data.ChangedFiles();
    m_firstChanged = data.FirstChanged();
}

WrittenEntry ZipWriter::WriteEntry(std::size_t index, EntryDataWriter& data,
                                   ArchiveOutput& output) {
    const FileToPack file = m_files[index];
    WrittenEntry entry;
    entry.offset = output.Position();
    entry.utf8Name = StoredAsUtf8(file.entryName);
    entry.dosDateTime = DosDateTime(file.modified);

    // The header goes before the data, so whether it needs room for sizes past 32 bits is
    // decided from the size the file had when it was opened and the most BZIP2 can grow it.
    const bool zip64 = WorstCompressedSize(data.OpenedSize(index)) > Max32;
    EncodeLocalHeader(HeaderOf(file, entry), zip64, m_header);
    output.Write(m_header.data(), m_header.size());

    const EntryData stored = data.Write(index, output);
    if (!zip64 && NeedsZip64Local(stored.size, stored.compressedSize))
        throw PackFailure(std::string("cannot pack ") + file.Path() +
                          ": it grew past 4 GiB while it was read");
    entry.crc32 = stored.crc32;
    entry.size = stored.size;
    entry.compressedSize = stored.compressedSize;
    EncodeLocalHeader(HeaderOf(file, entry), zip64, m_header);
    output.Patch(entry.offset, m_header.data(), m_header.size());
    return entry;
}
