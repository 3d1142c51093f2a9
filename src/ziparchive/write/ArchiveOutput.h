#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The archive file while it is written: a temporary beside its final name, renamed over that
// name only once everything was written and removed on every other path, so an earlier file of
// that name stays byte-identical unless the new archive is complete.
//
// A temporary is held under an exclusive lock while it is written; one left unlocked by a
// killed run is removed the next time an archive of the same name is written.
class ArchiveOutput {
public:
    explicit ArchiveOutput(std::string finalPath);
    // Removes the temporary unless it was committed.
    ~ArchiveOutput();
    ArchiveOutput(const ArchiveOutput&) = delete;
    ArchiveOutput& operator=(const ArchiveOutput&) = delete;

    // Each throws CZipException on failure, naming the archive. Write appends; Patch writes
    // over bytes already written (a local header once its entry's sizes are known).
    void Begin();
    void Write(const void* data, std::size_t size);
    void Patch(std::uint64_t offset, const void* data, std::size_t size);
    void Commit();
    void Rollback() noexcept;

    // The offset the next Write goes to.
    std::uint64_t Position() const { return m_end; }

    // A write made once the flag is up fails, so the writer gives up and rolls back.
    void SetStopFlag(const std::atomic<bool>* stop) { m_stop = stop; }

    // Temporaries of this archive's name in its folder, as the next run would see them.
    std::string TemporaryPrefix() const { return m_temporaryPrefix; }

private:
    void ThrowUnlessWriting() const;
    void Flush();
    void WriteAt(const std::uint8_t* data, std::size_t size, std::uint64_t offset);
    void CreateTemporary();
    void RemoveStaleTemporaries() const;
    void CloseFile() noexcept;

    const std::string m_finalPath;
    std::string m_folder;
    std::string m_temporaryPrefix; // file name prefix, without the folder
    std::string m_temporaryPath;
    int m_fd = -1;
    bool m_replacing = false; // a file of the final name existed when writing began
    const std::atomic<bool>* m_stop = nullptr;

    // Writes are gathered here; a patch of the gathered range (the header of a small entry)
    // is made in memory instead of costing a system call.
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_buffered = 0;
    std::uint64_t m_bufferStart = 0; // file offset of m_buffer[0]
    std::uint64_t m_end = 0;         // m_bufferStart + m_buffered: the archive's length so far
};
