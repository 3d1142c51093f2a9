#pragma once

#include "ziparchive/write/FileList.h"

#include <QString>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class ArchiveOutput;
class EntryDataWriter;
struct WrittenEntry;

// Writes a new archive for CZipArchive. AddFile only records a file; Commit compresses every
// file on a pool of threads and writes the archive on the calling thread: for each file its
// local header, its data, and the header again with the CRC and sizes; then the central
// directory; then it puts the archive in place. Every entry is BZIP2, level 9, whatever was
// asked.
class ZipWriter {
public:
    // Chunks the pool may run ahead of the writer: enough to keep every core busy while the
    // writer waits on one large chunk, few enough to bound memory at about 0.7 MB each.
    static constexpr std::size_t Window = 48;

    ZipWriter(const QString& path, unsigned threads);
    ~ZipWriter();
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    // Records the file with its size, permissions and modification time as they are now.
    // Throws CZipException when it cannot be read, is not a regular file, or the name cannot
    // be stored.
    void AddFile(const std::string& filePath, const std::string& entryName);
    void SetEntryWrittenCallback(std::function<void(std::uint64_t index)> callback);
    // Once the flag is up, Commit stops writing, leaves nothing at the archive's path but what
    // was there before, and throws CZipStopped. nullptr: never stopped.
    void SetStopFlag(const std::atomic<bool>* stop) { m_stop = stop; }
    // Where Commit counts the bytes of the files as the archive takes them; TotalBytes is what
    // the count comes to.
    void SetProgressCounter(std::atomic<std::uint64_t>* counter) { m_progress = counter; }
    std::uint64_t TotalBytes() const { return m_totalBytes; }
    // Writes the archive. On failure it throws and nothing is left at the archive's path
    // except what was there before. Each file is stored as it was read through one
    // descriptor; one whose size changed while it was read is stored as read and counted.
    void Commit();

    // After Commit: how many files changed size while they were read, and the first of them.
    std::uint64_t ChangedFiles() const { return m_changedFiles; }
    const std::string& FirstChanged() const { return m_firstChanged; }

private:
    bool Stopped() const;
    void ThrowIfStopped() const;
    void CommitEmpty();
    void CommitEntries();
    WrittenEntry WriteEntry(std::size_t index, EntryDataWriter& data, ArchiveOutput& output);

    std::string m_path;
    unsigned m_threads;
    FileList m_files;
    std::uint64_t m_totalBytes = 0; // the files' sizes as stat gave them
    std::function<void(std::uint64_t)> m_entryWritten;
    std::atomic<std::uint64_t>* m_progress = nullptr;
    bool m_committed = false;
    const std::atomic<bool>* m_stop = nullptr;
    std::vector<std::uint8_t> m_header; // the local header being written
    std::uint64_t m_changedFiles = 0;
    std::string m_firstChanged;
};
