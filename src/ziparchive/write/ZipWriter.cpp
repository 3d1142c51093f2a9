#include "ziparchive/write/ZipWriter.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/ThreadBudget.h"
#include "ziparchive/ZipHandles.h"
#include "ziparchive/fs/ParentFolder.h"
#include "ziparchive/fs/ToNarrow.h"
#include "ziparchive/write/ArchiveOutput.h"
#include "ziparchive/write/CompressionPool.h"
#include "ziparchive/write/EntryName.h"
#include "ziparchive/write/EntryTime.h"
#include "ziparchive/write/NameFlags.h"
#include "ziparchive/write/PrecompressedSource.h"

#include <sys/stat.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

std::string ArchiveError(zip_t* archive) {
    return zip_strerror(archive);
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
    // libzip 1.7.3 marks this size as "in the ZIP64 field" in the central directory but
    // leaves the field empty, so readers refuse the archive or see a wrong size.
    if (static_cast<std::uint64_t>(info.st_size) == 0xFFFFFFFFu)
        throw CZipException("cannot pack " + filePath +
                            ": a file of exactly 4,294,967,295 bytes cannot be stored correctly");
    m_files.Add(filePath, entryName, info.st_mode & 07777, info.st_mtime, throughLink);
    m_totalBytes += static_cast<std::uint64_t>(info.st_size);
    m_namesFlaggedFalsely = m_namesFlaggedFalsely || LibzipFlagsFalsely(entryName);
}

void ZipWriter::SetEntryWrittenCallback(std::function<void(std::uint64_t)> callback) {
    m_entryWritten = std::move(callback);
}

void ZipWriter::Commit() {
    if (m_committed)
        throw CZipException("the archive was already written");
    m_committed = true;
    ThrowIfStopped();
    if (m_files.empty())
        CommitEmpty();
    else
        CommitEntries();
}

bool ZipWriter::Stopped() const {
    return m_stop && m_stop->load();
}

void ZipWriter::ThrowIfStopped() const {
    if (Stopped())
        throw CZipStopped("writing " + m_path + " was stopped");
}

void ZipWriter::CommitEmpty() {
    // libzip deletes an existing archive instead of writing one with no entries, so the empty
    // archive, an end-of-central-directory record alone, is written here.
    static const std::uint8_t EndRecord[22] = {'P', 'K', 5, 6};
    ArchiveOutput output(m_path);
    output.Begin();
    output.Write(EndRecord, sizeof EndRecord);
    output.Commit();
}

void ZipWriter::CommitEntries() {
    // The pool starts compressing at once, while libzip is being set up.
    CompressionPool pool(m_files, m_threads, Window);
    pool.CountReleasedInto(m_progress);
    ArchiveOutput output(m_path);
    output.SetStopFlag(m_stop);
    if (m_namesFlaggedFalsely)
        output.SetBeforeCommit(ClearFalseUtf8Flags);

    // Declared before the archive: libzip still refers to it when it is discarded.
    PrecompressedSource sources(m_files, pool, m_entryWritten);

    ZipError error;
    zip_source_t* outputSource = output.CreateSource(error.Get());
    if (!outputSource)
        throw CZipException("cannot create " + m_path + ": " + error.Text());
    ZipHandle archive(zip_open_from_source(outputSource, ZIP_CREATE | ZIP_TRUNCATE, error.Get()));
    if (!archive) {
        zip_source_free(outputSource);
        throw CZipException("cannot create " + m_path + ": " + error.Text());
    }

    for (std::size_t i = 0; i < m_files.size(); ++i) {
        const FileToPack file = m_files[i];
        const auto cannotAdd = [&] {
            return CZipException(std::string("cannot add ") + file.EntryName() + ": " +
                                 ArchiveError(archive.get()));
        };
        zip_source_t* source = sources.SourceFor(archive.get());
        if (!source)
            throw cannotAdd();
        const zip_int64_t index =
            zip_file_add(archive.get(), file.EntryName(), source, ZIP_FL_ENC_GUESS);
        if (index < 0) {
            zip_source_free(source);
            throw cannotAdd();
        }
        std::uint8_t timestamp[ExtendedTimestampSize];
        if (ExtendedTimestamp(file.modified, timestamp) &&
            zip_file_extra_field_set(archive.get(), static_cast<zip_uint64_t>(index),
                                     ExtendedTimestampId, ZIP_EXTRA_FIELD_NEW, timestamp,
                                     sizeof timestamp, ZIP_FL_LOCAL | ZIP_FL_CENTRAL) != 0)
            throw cannotAdd();
    }

    if (zip_close(archive.get()) == 0) {
        archive.release(); // zip_close freed it
        m_changedFiles = sources.ChangedFiles();
        m_firstChanged = sources.FirstChanged();
        return;
    }
    // A stop fails the write wherever it finds it; the temporary is gone either way.
    ThrowIfStopped();
    // libzip's message does not say which file failed; the source does.
    zip_error_t* closeError = zip_get_error(archive.get());
    const int systemError =
        zip_error_system_type(closeError) == ZIP_ET_SYS ? zip_error_code_system(closeError) : 0;
    if (sources.CallbackFailure())
        std::rethrow_exception(sources.CallbackFailure());
    const std::string message =
        sources.Failed() ? sources.FailureMessage() : ArchiveError(archive.get());
    const bool diskFull = systemError == ENOSPC || systemError == EDQUOT;
    throw CZipException((diskFull ? "the disk is full: cannot write " : "cannot write ") + m_path +
                        ": " + message);
}
