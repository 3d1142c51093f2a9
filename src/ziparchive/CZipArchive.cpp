#include "ziparchive/CZipArchive.h"

#include "ziparchive/read/ZipReader.h"
#include "ziparchive/write/ZipWriter.h"

#include <zip.h>

static_assert(CZipArchive::methodBzip2 == ZIP_CM_BZIP2);

CZipArchive::CZipArchive() = default;
CZipArchive::~CZipArchive() = default;

void CZipArchive::Open(const QString& path, int mode, std::int64_t volumeSize) {
    if (m_reader || m_writer)
        throw CZipException("an archive is already open");
    if (volumeSize != 0)
        throw CZipException("split archives are not supported");
    switch (mode) {
    case zipOpen:
        m_reader = std::make_unique<ZipReader>(path, m_threads);
        m_reader->SetStopFlag(m_stop);
        break;
    case zipCreate:
        m_writer = std::make_unique<ZipWriter>(path, m_threads);
        m_writer->SetStopFlag(m_stop);
        break;
    default:
        throw CZipException("unknown open mode");
    }
}

void CZipArchive::SetThreadCount(unsigned threads) {
    m_threads = threads;
}

void CZipArchive::SetStopFlag(const std::atomic<bool>* stop) {
    m_stop = stop;
    if (m_reader)
        m_reader->SetStopFlag(stop);
    if (m_writer)
        m_writer->SetStopFlag(stop);
}

static ZipReader& Reading(const std::unique_ptr<ZipReader>& reader) {
    if (!reader)
        throw CZipException("no archive is open for reading");
    return *reader;
}

static ZipWriter& Writing(const std::unique_ptr<ZipWriter>& writer) {
    if (!writer)
        throw CZipException("no archive is open for writing");
    return *writer;
}

void CZipArchive::SetProgressCounter(std::atomic<std::uint64_t>* counter) {
    if (m_reader)
        m_reader->SetProgressCounter(counter);
    else
        Writing(m_writer).SetProgressCounter(counter);
}

std::uint64_t CZipArchive::GetProgressTotal() const {
    return m_reader ? m_reader->DataSize() : Writing(m_writer).TotalBytes();
}

std::uint64_t CZipArchive::GetCount() const {
    return Reading(m_reader).Count();
}

std::string CZipArchive::GetEntryLabel(std::uint64_t index) const {
    return Reading(m_reader).EntryLabel(index);
}

bool CZipArchive::FitsInto(const QString& destination) const {
    return Reading(m_reader).FitsInto(destination);
}

std::optional<std::uint64_t> CZipArchive::GetFirstEncrypted() const {
    return Reading(m_reader).FirstEncrypted();
}

bool CZipArchive::SetPassword(const char* password) {
    return Reading(m_reader).SetPassword(password);
}

void CZipArchive::SetExtractionRoot(const QString& destination) {
    Reading(m_reader).SetExtractionRoot(destination);
}

bool CZipArchive::TestFile(std::uint64_t index, std::size_t) {
    return Reading(m_reader).Test(index);
}

std::string CZipArchive::LastTestFailure() const {
    return Reading(m_reader).LastTestFailure();
}

bool CZipArchive::ExtractFile(std::uint64_t index, const QString& destination, bool fullPath,
                              const QString* newName, std::size_t) {
    if (!fullPath || newName)
        throw CZipException("entries are extracted only under their stored path");
    ZipReader& reader = Reading(m_reader);
    reader.SetExtractionRoot(destination);
    reader.Extract(index);
    return true;
}

// Every entry is written with BZIP2; any other method is refused.
bool CZipArchive::SetCompressionMethod(int method) {
    Writing(m_writer);
    return method == methodBzip2;
}

bool CZipArchive::AddNewFile(const std::string& filePath, const std::string& entryName, int,
                             std::size_t) {
    Writing(m_writer).AddFile(filePath, entryName);
    return true;
}

void CZipArchive::SetEntryWrittenCallback(std::function<void(std::uint64_t)> callback) {
    Writing(m_writer).SetEntryWrittenCallback(std::move(callback));
}

QString CZipArchive::Close(int, bool) {
    if (m_reader) {
        // Whatever was staged and not extracted goes with the reader.
        m_reader.reset();
    } else if (m_writer) {
        auto writer = std::move(m_writer);
        writer->Commit();
        m_changedFiles = writer->ChangedFiles();
        m_firstChanged = writer->FirstChanged();
    }
    return {};
}
