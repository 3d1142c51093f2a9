#pragma once

#include "ziparchive/ZipHandles.h"

#include <zip.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The archive file while it is written: a temporary beside its final name, renamed over that
// name only once everything was written and removed on every other path, so an earlier file of
// that name stays byte-identical unless the new archive is complete. libzip writes through it
// (zip_open_from_source with the source from CreateSource) instead of through its own file
// source, which leaves its temporary behind when the last flush fails and cannot tell its
// temporaries from a user's files afterwards.
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

    // A write source for zip_open_from_source. It reports that no archive exists yet, so libzip
    // starts a new one whatever is on disk. The output must outlive the archive using it.
    zip_source_t* CreateSource(zip_error_t* error);

    // Direct writing, as libzip drives it; each throws CZipException on failure.
    void Begin();
    void Write(const void* data, std::size_t size);
    void Commit();
    void Rollback() noexcept;

    // Runs on the finished archive's file just before it is put in place; a throw fails the
    // commit like a failed write.
    void SetBeforeCommit(std::function<void(int fd)> step) { m_beforeCommit = std::move(step); }

    // A write made once the flag is up fails, so libzip gives up and rolls the archive back.
    void SetStopFlag(const std::atomic<bool>* stop) { m_stop = stop; }

    // Temporaries of this archive's name in its folder, as the next run would see them.
    std::string TemporaryPrefix() const { return m_temporaryPrefix; }

private:
    static zip_int64_t Call(void* userdata, void* data, zip_uint64_t length,
                            zip_source_cmd_t command);
    zip_int64_t Handle(void* data, zip_uint64_t length, zip_source_cmd_t command);
    void Seek(const zip_source_args_seek_t& seek);
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
    std::function<void(int fd)> m_beforeCommit;
    const std::atomic<bool>* m_stop = nullptr;

    // Writes are gathered here; a seek back into the gathered range (libzip rewriting the
    // header of a small entry) patches it in memory instead of costing two system calls.
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_buffered = 0;
    std::uint64_t m_bufferStart = 0; // file offset of m_buffer[0]
    std::uint64_t m_position = 0;
    std::uint64_t m_end = 0;

    ZipError m_error;
};
