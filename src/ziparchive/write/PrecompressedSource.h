#pragma once

#include "ziparchive/ZipHandles.h"
#include "ziparchive/bzip2/Bzip2BlockJoiner.h"
#include "ziparchive/write/ChunkCompressor.h"
#include "ziparchive/write/CompressionPool.h"
#include "ziparchive/write/FileList.h"

#include <zip.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The data of the entries as libzip reads them in zip_close: each file's chunks, compressed by
// the pool, joined into one bzip2 stream, and then whatever the file holds past the size it had
// when it was opened. It reports the stream as already compressed with BZIP2, so libzip copies
// it as it is, and reports the CRC-32 and size of the bytes read once all of them were.
//
// libzip 1.7.3 writes the entries one after another, asking each source for STAT, OPEN, READ,
// CLOSE, STAT and GET_FILE_ATTRIBUTES in that order, so one libzip source serves every entry
// and only the entry being written has state here: the next entry begins with the first call
// after the attributes of the last. A source per entry would cost a hundred bytes more for each
// file of a folder of millions. Should libzip ever ask in another order, the pool's chunks,
// which name their file, stop the archive rather than store one file's data under another name.
//
// Runs on the thread that runs zip_close. Nothing thrown may cross libzip, so a failure is
// turned into a libzip error here and kept, with its message, for the writer to raise.
class PrecompressedSource {
public:
    PrecompressedSource(const FileList& files, CompressionPool& pool,
                        const std::function<void(std::uint64_t)>& entryWritten);
    ~PrecompressedSource();
    PrecompressedSource(const PrecompressedSource&) = delete;
    PrecompressedSource& operator=(const PrecompressedSource&) = delete;

    // The libzip source for the next file, for zip_file_add, which then holds a reference to
    // it. Files must be added in order. Null when libzip cannot make one.
    zip_source_t* SourceFor(zip_t* archive);

    bool Failed() const { return m_failed; }
    const std::string& FailureMessage() const { return m_failureMessage; }
    // What the entry-written callback threw, if it did.
    const std::exception_ptr& CallbackFailure() const { return m_callbackFailure; }

    // Files whose size changed while they were read: stored as read, and told to the user.
    std::uint64_t ChangedFiles() const { return m_changedFiles; }
    const std::string& FirstChanged() const { return m_firstChanged; }

private:
    // What is known of the entry being written.
    struct Entry {
        // Only while libzip reads the entry: kept for every entry until the archive is
        // written, the joined bytes would add up to the size of the archive.
        std::optional<Bzip2BlockJoiner> joiner;
        std::shared_ptr<const OpenedFile> rest; // what the rest of a grown file is read through
        std::uint64_t openedSize = 0;           // the file's size when it was opened
        std::uint64_t chunkCount = 0;           // 0 until the first chunk has told it
        std::uint64_t chunksPulled = 0;
        std::uint64_t bytesRead = 0;
        std::uint32_t crc32 = 0;
        std::uint64_t compressedSize = 0;
        bool opened = false;
        bool ended = false;    // a read met the file's end early: later bytes are not its
        bool complete = false; // the whole stream was handed to libzip
        bool declaredZip64 = false;
        bool done = false; // its attributes were given after its data: the next call is new
    };

    static zip_int64_t Call(void* userdata, void* data, zip_uint64_t length,
                            zip_source_cmd_t command);
    zip_int64_t Handle(void* data, zip_uint64_t length, zip_source_cmd_t command);
    FileToPack File() const { return m_files[m_index]; }
    zip_int64_t Read(std::uint8_t* destination, zip_uint64_t capacity);
    zip_int64_t Close();
    zip_int64_t Stat(void* data, zip_uint64_t length);
    zip_int64_t Attributes(void* data, zip_uint64_t length);
    bool LearnSize();
    void PullChunk();
    void ReadRest();
    zip_int64_t Fail(int zipError, const std::string& message) noexcept;

    const FileList& m_files;
    CompressionPool& m_pool;
    const std::function<void(std::uint64_t)>& m_entryWritten;
    zip_source_t* m_source = nullptr; // shared by every entry; libzip frees it
    std::size_t m_sourcesGiven = 0;

    std::size_t m_index = 0; // the entry being written
    Entry m_entry;

    // For the rest of a file that goes on past the size it had when it was opened; made only
    // when one does, since it holds libbz2's buffers of several megabytes.
    std::optional<ChunkCompressor> m_restCompressor;
    std::vector<std::uint8_t> m_restInput;
    CompressedBlock m_restBlock;

    std::uint64_t m_changedFiles = 0;
    std::string m_firstChanged;

    ZipError m_error;
    bool m_failed = false;
    std::string m_failureMessage;
    std::exception_ptr m_callbackFailure;
};
