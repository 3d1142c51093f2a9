#pragma once

#include "ziparchive/ZipHandles.h"
#include "ziparchive/bzip2/Bzip2BlockJoiner.h"
#include "ziparchive/write/ChunkCompressor.h"
#include "ziparchive/write/CompressionPool.h"
#include "ziparchive/write/FileToPack.h"

#include <zip.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What the entries' sources share while one archive is written, on the closing thread.
struct PackingRun {
    PackingRun(CompressionPool& pool, const std::function<void(std::uint64_t)>& entryWritten)
        : pool(pool), entryWritten(entryWritten) {}

    CompressionPool& pool;
    const std::function<void(std::uint64_t)>& entryWritten;

    // Files whose size changed while they were read: stored as read, and told to the user.
    std::uint64_t changedFiles = 0;
    std::string firstChanged;

    // For the rest of a file that goes on past the size it had when it was opened; made only
    // when one does, since it holds libbz2's buffers of several megabytes.
    std::optional<ChunkCompressor> restCompressor;
    std::vector<std::uint8_t> restInput;
    CompressedBlock restBlock;
};

// The data of one entry as libzip reads it in zip_close: the file's chunks, compressed by the
// pool, joined into one bzip2 stream, and then whatever the file holds past the size it had
// when it was opened. It reports the stream as already compressed with BZIP2, so libzip copies
// it as it is, and reports the CRC-32 and size of the bytes read once all of them were.
//
// Runs on the thread that runs zip_close. Nothing thrown may cross libzip, so a failure is
// turned into a libzip error here and kept, with its message, for the writer to raise.
class PrecompressedSource {
public:
    PrecompressedSource(const FileToPack& file, std::uint64_t index, PackingRun& run);
    ~PrecompressedSource();
    PrecompressedSource(const PrecompressedSource&) = delete;
    PrecompressedSource& operator=(const PrecompressedSource&) = delete;

    // The callback for zip_source_function; userdata is the PrecompressedSource.
    static zip_int64_t Call(void* userdata, void* data, zip_uint64_t length,
                            zip_source_cmd_t command);

    bool Failed() const { return m_failed; }
    const std::string& FailureMessage() const { return m_failureMessage; }
    // What the entry-written callback threw, if it did.
    const std::exception_ptr& CallbackFailure() const { return m_callbackFailure; }

private:
    zip_int64_t Read(std::uint8_t* destination, zip_uint64_t capacity);
    zip_int64_t Close();
    zip_int64_t Stat(void* data, zip_uint64_t length);
    zip_int64_t Attributes(void* data, zip_uint64_t length);
    bool LearnSize();
    void PullChunk();
    void ReadRest();
    zip_int64_t Fail(int zipError, const std::string& message) noexcept;

    const FileToPack& m_file;
    const std::uint64_t m_index;
    PackingRun& m_run;

    // Only while libzip reads the entry: kept for every entry until the archive is written,
    // the joined bytes would add up to the size of the archive.
    std::optional<Bzip2BlockJoiner> m_joiner;
    std::shared_ptr<const OpenedFile> m_rest; // what the rest of a grown file is read through
    std::uint64_t m_openedSize = 0;           // the file's size when it was opened
    std::uint64_t m_chunkCount = 0;           // 0 until the first chunk has told it
    std::uint64_t m_chunksPulled = 0;
    std::uint64_t m_bytesRead = 0;
    std::uint32_t m_crc32 = 0;
    std::uint64_t m_compressedSize = 0;
    bool m_opened = false;
    bool m_ended = false;    // a read met the file's end before its size: later bytes are not its
    bool m_complete = false; // the whole stream was handed to libzip
    bool m_declaredZip64 = false;

    ZipError m_error;
    bool m_failed = false;
    std::string m_failureMessage;
    std::exception_ptr m_callbackFailure;
};
