#pragma once

#include "ziparchive/write/ChunkCompressor.h"
#include "ziparchive/write/ChunkReader.h"
#include "ziparchive/write/FileList.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A chunk of a file as the pool hands it to the writer: compressed, with its CRC-32, or the
// reason it could not be read.
struct CompressedChunk {
    std::size_t file = 0; // index into the files the pool was given
    std::uint64_t chunk = 0;
    std::uint64_t chunkCount = 0; // of this file, from its size when it was opened
    std::uint64_t fileSize = 0;   // when it was opened
    std::size_t length = 0;       // bytes read; short when the file has become shorter
    std::uint32_t crc32 = 0;
    CompressedBlock block; // empty when length is 0
    // The last chunk of a file that goes on past the size it had: what the rest is read
    // through. Held only here, so the descriptor closes once the rest has been read.
    std::shared_ptr<const OpenedFile> rest;
    bool failed = false; // then nothing else counts
    std::string error;   // why, naming the file
};

// Reads, checksums and compresses every file's chunks on a pool of worker threads, running ahead
// of the single consumer by at most a window of chunks so memory stays bounded whatever the
// input. Chunks come out in file order, chunk by chunk, whatever the number of threads; each is
// compressed on its own, so the bytes never depend on which thread did it.
//
// Every file has at least one chunk: an empty file's is empty but still opens the file and looks
// whether it is still empty. A file is opened once, when its first chunk is claimed, and read
// through that descriptor until its last chunk is done; the window bounds how many are open.
class CompressionPool {
public:
    static std::uint64_t ChunkCountOf(std::uint64_t size);

    // Starts the workers at once. files must outlive the pool.
    CompressionPool(const FileList& files, unsigned threads, std::size_t window);
    // Stops the workers (finishing the chunk each is on) and joins them.
    ~CompressionPool();
    CompressionPool(const CompressionPool&) = delete;
    CompressionPool& operator=(const CompressionPool&) = delete;

    // Waits for the next chunk in order. It stays valid, and its slot stays taken, until
    // ReleaseNext; asking again before that gives the same chunk. Throws CZipException when
    // every chunk was already handed out.
    CompressedChunk& WaitNext();
    void ReleaseNext();

    // Adds each released chunk's length to counter: the bytes of the files the archive has
    // taken. It must outlive the pool.
    void CountReleasedInto(std::atomic<std::uint64_t>* counter) { m_released = counter; }

private:
    struct Slot {
        CompressedChunk chunk;
        bool ready = false;
    };
    struct Claim {
        std::uint64_t sequence = 0;
        std::size_t file = 0;
        std::uint64_t chunk = 0;
        std::uint64_t chunkCount = 0;
        std::shared_ptr<const OpenedFile> opened;
    };

    void Work();
    bool ClaimNext(Claim& claim);
    void Process(const Claim& claim, ChunkCompressor& compressor, std::vector<std::uint8_t>& input,
                 CompressedChunk& result) const;
    void Stop();

    const FileList& m_files;
    const std::size_t m_window;
    std::vector<Slot> m_slots; // chunk n lives in slot n % window

    std::mutex m_mutex;
    std::condition_variable m_chunkReady;
    std::condition_variable m_slotFree;
    // Guarded by m_mutex:
    std::uint64_t m_nextClaim = 0; // sequence number of the next chunk to hand to a worker
    std::size_t m_claimFile = 0;   // and its place: file and chunk within it
    std::uint64_t m_claimChunk = 0;
    std::uint64_t m_claimChunkCount = 0;             // of the file being claimed
    std::shared_ptr<const OpenedFile> m_claimOpened; // and its descriptor
    std::uint64_t m_nextConsumed = 0;                // the chunk the consumer waits for or holds
    bool m_stopping = false;
    std::atomic<std::uint64_t>* m_released = nullptr;

    std::vector<std::thread> m_workers;
};
