#pragma once

#include "ziparchive/CZipException.h"
#include "ziparchive/bzip2/Bzip2BlockJoiner.h"
#include "ziparchive/write/ChunkCompressor.h"
#include "ziparchive/write/CompressionPool.h"
#include "ziparchive/write/FileList.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class ArchiveOutput;

// A file that could not be packed: it could not be read, or it changed in a way the archive
// cannot hold. The message names the file.
class PackFailure : public CZipException {
public:
    using CZipException::CZipException;
};

// What an entry's data came to.
struct EntryData {
    std::uint64_t size = 0; // the bytes read
    std::uint64_t compressedSize = 0;
    std::uint32_t crc32 = 0;
};

// Writes the data of the entries, one after another in file order: each file's chunks,
// compressed by the pool, joined into one bzip2 stream, and then whatever the file holds past
// the size it had when it was opened. Only the entry being written has state here.
class EntryDataWriter {
public:
    // files and pool must outlive it.
    EntryDataWriter(const FileList& files, CompressionPool& pool);
    ~EntryDataWriter();
    EntryDataWriter(const EntryDataWriter&) = delete;
    EntryDataWriter& operator=(const EntryDataWriter&) = delete;

    // The size of the next file when it was opened, from its first chunk, which stays with
    // the pool until Write takes it. Throws PackFailure when the file could not be opened.
    std::uint64_t OpenedSize(std::size_t index);
    // Writes the next file's stream to output. Throws PackFailure, or what the output throws.
    EntryData Write(std::size_t index, ArchiveOutput& output);

    // Files whose size changed while they were read: stored as read, and told to the user.
    std::uint64_t ChangedFiles() const { return m_changedFiles; }
    const std::string& FirstChanged() const { return m_firstChanged; }

private:
    [[noreturn]] void Fail(const std::string& message) const;
    PackFailure FailureOf(const CompressedChunk& chunk) const;
    void PullChunk();
    void ReadRest();
    void Drain(ArchiveOutput& output);

    const FileList& m_files;
    CompressionPool& m_pool;

    // The entry being written.
    std::size_t m_index = 0;
    bool m_started = false;
    std::optional<Bzip2BlockJoiner> m_joiner;
    std::shared_ptr<const OpenedFile> m_rest; // what the rest of a grown file is read through
    std::uint64_t m_openedSize = 0;           // the file's size when it was opened
    std::uint64_t m_chunkCount = 0;
    std::uint64_t m_chunksPulled = 0;
    bool m_ended = false; // a read met the file's end early: later bytes are not its
    EntryData m_data;

    std::vector<std::uint8_t> m_drained; // joined bytes on their way to the output

    // For the rest of a file that goes on past the size it had when it was opened; made only
    // when one does, since it holds libbz2's buffers of several megabytes.
    std::optional<ChunkCompressor> m_restCompressor;
    std::vector<std::uint8_t> m_restInput;
    CompressedBlock m_restBlock;

    std::uint64_t m_changedFiles = 0;
    std::string m_firstChanged;
};
