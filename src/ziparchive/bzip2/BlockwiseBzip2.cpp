#include "ziparchive/bzip2/BlockwiseBzip2.h"

#include "ziparchive/ThreadBudget.h"
#include "ziparchive/bzip2/Bzip2BlockDecoder.h"
#include "ziparchive/bzip2/Bzip2Blocks.h"
#include "ziparchive/bzip2/Bzip2Format.h"
#include "ziparchive/read/EntryInput.h"
#include "ziparchive/read/EntryOutput.h"
#include "ziparchive/read/EntryPlan.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

namespace {

constexpr std::size_t kReadChunk = 1 << 20;
// More than the largest block's compressed size (900,000 symbols of at most 20 bits, plus
// tables and selectors), so a block read in order is always whole.
constexpr std::uint64_t kLargestBlockBits = 24ull * 1024 * 1024;
// Entries this large are worth splitting into blocks for several threads.
constexpr std::uint64_t kSplitFrom = 8ull * 1024 * 1024;
// Decoded bytes are written in pieces of this size; a block can expand to 45 MB.
constexpr std::size_t kPiece = 1 << 20;
// What a split run holds at most: decoded bytes of one batch waiting to be written, and the
// stream read ahead of the block being decoded. A block's nominal size is its level times
// 100,000 bytes; each block of a batch may hold twice that before the rest of it waits in its
// decoder.
constexpr std::size_t kBatchBytes = 48ull * 1024 * 1024;
constexpr std::size_t kReadAheadBytes = 32ull * 1024 * 1024;
// A split run's read-ahead buffer is given back after the entry when it grew past this.
constexpr std::size_t kKeptRawBytes = 8ull * 1024 * 1024;

// The raw stream as read so far, from the first block not yet decoded, with the decoder's
// slack of zero bytes kept after it. The buffer is the workspace's, kept between entries.
class RawStream {
public:
    RawStream(EntryInput& raw, bool findBoundaries, std::vector<unsigned char>& buffer)
        : m_raw(raw), m_scan(findBoundaries), m_bytes(buffer) {
        Reserve(kBzip2ReadSlack);
        std::fill_n(m_bytes.begin(), kBzip2ReadSlack, 0);
    }

    // Reads another chunk; false when reading failed.
    bool ReadMore() {
        Reserve(m_size + kReadChunk + kBzip2ReadSlack);
        const std::int64_t got =
            ReadChunk(m_bytes.data() + m_size, m_origin + m_size, m_boundaries);
        if (got < 0)
            return false;
        m_size += static_cast<std::size_t>(got);
        std::fill_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_size), kBzip2ReadSlack, 0);
        return true;
    }

    // Reads another chunk to one side, leaving what is held and its boundaries untouched, so
    // that blocks held can be decoded meanwhile on other threads; TakeAside adds it. False when
    // reading failed.
    bool ReadAside() {
        const std::size_t at = m_aside.size();
        m_aside.resize(at + kReadChunk);
        const std::int64_t got =
            ReadChunk(m_aside.data() + at, m_origin + m_size + at, m_asideBoundaries);
        m_aside.resize(at + static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
        return got >= 0;
    }
    std::size_t BytesAside() const { return m_aside.size(); }
    // Whether what was read aside holds the end marker or n boundaries.
    bool AsideReaches(std::size_t n) const {
        return m_asideBoundaries.size() >= n ||
               (!m_asideBoundaries.empty() && m_asideBoundaries.back().endOfStream);
    }
    bool AllRead() const { return m_ended; }

    void TakeAside() {
        if (m_aside.empty())
            return;
        Reserve(m_size + m_aside.size() + kBzip2ReadSlack);
        std::copy(m_aside.begin(), m_aside.end(),
                  m_bytes.begin() + static_cast<std::ptrdiff_t>(m_size));
        m_size += m_aside.size();
        std::fill_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_size), kBzip2ReadSlack, 0);
        m_boundaries.insert(m_boundaries.end(), m_asideBoundaries.begin(), m_asideBoundaries.end());
        m_aside.clear();
        m_asideBoundaries.clear();
    }

    // Reads until bit `bit` of the stream is held or the stream ends; false when reading failed.
    bool Hold(std::uint64_t bit) {
        while (BitsHeld() < bit && !m_ended) {
            if (!ReadMore())
                return false;
        }
        return true;
    }

    bool Ended() const { return m_ended && m_aside.empty(); }
    const unsigned char* Bytes() const { return m_bytes.data(); }
    std::size_t Size() const { return m_size; }
    std::uint64_t BitsHeld() const { return (m_origin + m_size) * 8; }
    // Stream bit `bit` as a bit offset into Bytes().
    std::uint64_t Local(std::uint64_t bit) const { return bit - m_origin * 8; }
    std::uint64_t Stream(std::uint64_t local) const { return local + m_origin * 8; }
    std::uint64_t Marker(std::uint64_t bit) const {
        return ReadMarker(Bytes(), Size(), Local(bit));
    }
    const std::vector<Bzip2Boundary>& Boundaries() const { return m_boundaries; }

    // Blocks at the front whose end is known, up to `most`.
    std::size_t CompleteBlocks(std::size_t most) const {
        std::size_t count = 0;
        while (count < most && count + 1 < m_boundaries.size() && !m_boundaries[count].endOfStream)
            ++count;
        return count;
    }

    // Forgets the boundaries before stream bit `bit`, and the bytes before it once enough of
    // them have piled up.
    void DropBefore(std::uint64_t bit) {
        const auto kept = std::find_if(m_boundaries.begin(), m_boundaries.end(),
                                       [bit](const Bzip2Boundary& b) { return b.bit >= bit; });
        m_boundaries.erase(m_boundaries.begin(), kept);
        const std::uint64_t keepFrom = bit / 8;
        const auto drop = static_cast<std::size_t>(keepFrom - m_origin);
        if (drop < kReadChunk * 4)
            return;
        std::memmove(m_bytes.data(), m_bytes.data() + drop, m_size - drop + kBzip2ReadSlack);
        m_size -= drop;
        m_origin = keepFrom;
    }

private:
    // Reads the chunk after everything read so far into `into`, which is the stream's byte
    // `offset`, finding the boundaries in it; how many bytes came, or -1 when reading failed.
    std::int64_t ReadChunk(unsigned char* into, std::uint64_t offset,
                           std::vector<Bzip2Boundary>& boundaries) {
        const std::int64_t got = m_raw.Read(into, kReadChunk);
        if (got < 0)
            return got;
        const auto fresh = static_cast<std::size_t>(got);
        if (m_scan) {
            const std::size_t first = boundaries.size();
            m_scanner.Scan(into, fresh, offset, boundaries);
            // One byte yields its markers last bit first.
            std::sort(boundaries.begin() + static_cast<std::ptrdiff_t>(first), boundaries.end(),
                      [](const Bzip2Boundary& a, const Bzip2Boundary& b) { return a.bit < b.bit; });
        }
        m_ended = fresh == 0;
        return got;
    }

    // Grows the buffer, never shrinking it, so that later entries reuse it. The vector grows
    // its capacity geometrically; only what is filled is touched.
    void Reserve(std::size_t bytes) {
        if (m_bytes.size() < bytes)
            m_bytes.resize(bytes);
    }

    EntryInput& m_raw;
    bool m_scan;
    std::vector<unsigned char>& m_bytes;
    std::size_t m_size = 0;
    std::uint64_t m_origin = 0; // the stream byte m_bytes[0] is
    std::vector<Bzip2Boundary> m_boundaries;
    Bzip2BoundaryScanner m_scanner;
    bool m_ended = false;
    std::vector<unsigned char> m_aside; // read past what is held, not yet taken in
    std::vector<Bzip2Boundary> m_asideBoundaries;
};

// What the blocks decoded so far add up to.
struct Progress {
    std::uint64_t total = 0;
    std::uint32_t crc = 0;
    std::uint32_t combined = 0;
};

// Checks the end marker's stream CRC and the entry's size and CRC-32.
bool EndsSound(RawStream& stream, std::uint64_t endMarker, const EntryPlan& plan,
               const Progress& progress) {
    const std::uint64_t crcAt = endMarker + kBzip2MarkerBits;
    return stream.BitsHeld() >= crcAt + 32 &&
           ReadBits32(stream.Bytes(), stream.Size(), stream.Local(crcAt)) == progress.combined &&
           progress.total == plan.size && progress.crc == plan.crc;
}

class BlockwiseRun {
public:
    BlockwiseRun(EntryInput& raw, const EntryPlan& plan, EntryOutput& output,
                 const std::atomic<bool>& cancel, unsigned threads, Bzip2Workspace& workspace)
        : m_raw(raw), m_plan(plan), m_output(output), m_cancel(cancel), m_threads(threads),
          m_stream(raw, threads > 1, workspace.raw), m_decoders(workspace.decoders),
          m_block(workspace.block) {
        // Each thread keeps its decoder, and the decoder its arrays, from block to block and
        // from entry to entry.
        while (m_decoders.size() < m_threads)
            m_decoders.push_back(std::make_unique<Bzip2BlockDecoder>());
    }

    std::optional<DecodeResult> Run() {
        if (!m_stream.Hold(kBzip2HeaderBits))
            return ReadFailed();
        const unsigned char* header = m_stream.Bytes();
        if (m_stream.Size() < 4 || header[0] != 'B' || header[1] != 'Z' || header[2] != 'h' ||
            header[3] < '1' || header[3] > '9')
            return std::nullopt;
        m_level = header[3] - '0';
        return m_threads > 1 ? RunSplit() : RunInOrder();
    }

private:
    DecodeResult ReadFailed() const { return {DecodeStatus::ReadFailed, 0, m_raw.Failure()}; }

    // Adds decoded bytes to the output and to the running checks. False ends the run with
    // m_stop as its result: nothing (libbz2 decides) for bytes past the declared size, the
    // write failure, or the cancellation.
    bool Emit(const std::vector<char>& bytes) {
        m_progress.total += bytes.size();
        if (m_progress.total > m_plan.size) {
            m_stop.reset();
            return false;
        }
        m_progress.crc = static_cast<std::uint32_t>(
            crc32(m_progress.crc, reinterpret_cast<const Bytef*>(bytes.data()),
                  static_cast<uInt>(bytes.size())));
        if (const int error = m_output.Write(bytes.data(), bytes.size())) {
            m_stop = DecodeResult{DecodeStatus::WriteFailed, error, {}};
            return false;
        }
        if (m_cancel.load(std::memory_order_relaxed)) {
            m_stop = DecodeResult{DecodeStatus::Cancelled, 0, {}};
            return false;
        }
        return true;
    }

    // Writes what the decoder still holds of its block, piece by piece, and counts the block.
    // False ends the run with m_stop as its result.
    bool EmitRest(Bzip2BlockDecoder& decoder, std::uint32_t storedCrc) {
        for (;;) {
            m_block.clear();
            const auto produced = decoder.Produce(m_block, kPiece);
            if (produced == Bzip2BlockDecoder::Produced::Refused) {
                m_stop.reset();
                return false;
            }
            if (!Emit(m_block))
                return false;
            if (produced == Bzip2BlockDecoder::Produced::Done)
                break;
        }
        m_progress.combined = CombineBlockCrc(m_progress.combined, storedCrc);
        return true;
    }

    std::optional<DecodeResult> RunInOrder() {
        Bzip2BlockDecoder& decoder = *m_decoders.front();
        std::uint64_t at = kBzip2HeaderBits;
        for (;;) {
            if (m_cancel.load(std::memory_order_relaxed))
                return DecodeResult{DecodeStatus::Cancelled, 0, {}};
            if (!m_stream.Hold(at + kLargestBlockBits))
                return ReadFailed();
            if (m_stream.BitsHeld() < at + kBzip2MarkerBits)
                return std::nullopt;
            const std::uint64_t marker = m_stream.Marker(at);
            if (marker == kBzip2EndMarker) {
                if (!EndsSound(m_stream, at, m_plan, m_progress))
                    return std::nullopt;
                return DecodeResult{};
            }
            if (marker != kBzip2BlockMarker)
                return std::nullopt;
            Bzip2BlockDecoder::Block decoded;
            if (!decoder.Decode(m_stream.Bytes(), m_stream.Size(), m_stream.Local(at), m_level,
                                decoded))
                return std::nullopt;
            if (!EmitRest(decoder, decoded.storedCrc))
                return m_stop;
            at = m_stream.Stream(decoded.endBit);
            m_stream.DropBefore(at);
        }
    }

    std::optional<DecodeResult> RunSplit() {
        // Enough blocks per batch to keep every thread busy while the slowest block finishes,
        // few enough that their bytes stay within kBatchBytes at twice the nominal size.
        const std::size_t nominal = std::size_t{100000} * static_cast<std::size_t>(m_level);
        const std::size_t batch =
            std::clamp<std::size_t>(kBatchBytes / (2 * nominal), m_threads, m_threads * 3);
        const std::size_t cap = kBatchBytes / batch;
        std::uint64_t expected = kBzip2HeaderBits; // where the next block must start
        for (;;) {
            if (m_cancel.load(std::memory_order_relaxed))
                return DecodeResult{DecodeStatus::Cancelled, 0, {}};
            // A batch is ready when it is full, when every block before the end is known, or
            // when enough of the stream is held.
            auto ready = [&] {
                const std::size_t complete = m_stream.CompleteBlocks(batch);
                return complete >= batch ||
                       (complete < m_stream.Boundaries().size() &&
                        m_stream.Boundaries()[complete].endOfStream) ||
                       (complete > 0 && m_stream.Size() >= kReadAheadBytes);
            };
            while (!m_stream.Ended() && !ready()) {
                // No block runs on that far: the next marker is missing, and the stream is not
                // held whole to find out what libbz2 makes of it.
                if (m_stream.CompleteBlocks(1) == 0 &&
                    m_stream.BitsHeld() > expected + kLargestBlockBits + kBzip2MarkerBits)
                    return std::nullopt;
                if (!m_stream.ReadMore())
                    return ReadFailed();
            }
            const auto& boundaries = m_stream.Boundaries();
            if (boundaries.empty() || boundaries.front().bit != expected)
                return std::nullopt;
            if (boundaries.front().endOfStream) {
                if (!m_stream.Hold(expected + kBzip2MarkerBits + 32))
                    return ReadFailed();
                if (!EndsSound(m_stream, expected, m_plan, m_progress))
                    return std::nullopt;
                return DecodeResult{};
            }
            const std::size_t count = m_stream.CompleteBlocks(batch);
            const std::size_t taken = count == 0 ? 0 : DecodeBatch(count, cap, batch);
            if (m_readFailed)
                return ReadFailed();
            if (taken == 0)
                return std::nullopt;
            for (std::size_t i = 0; i < taken; ++i) {
                BatchBlock& block = m_batch[i];
                if (!Emit(block.bytes))
                    return m_stop;
                if (block.unfinished) {
                    if (!EmitRest(*block.unfinished, block.header.storedCrc))
                        return m_stop;
                } else {
                    m_progress.combined =
                        CombineBlockCrc(m_progress.combined, block.header.storedCrc);
                }
            }
            expected = boundaries[taken].bit;
            m_stream.DropBefore(expected);
        }
    }

    // While the helpers decode a batch of `count` blocks, this thread reads on to one side for
    // the next `batch` blocks, until the stream ends or the read-ahead limit is reached; then it
    // decodes too. Reading and finding the block markers would otherwise leave the other cores
    // idle between batches.
    void ReadOnAside(std::size_t count, std::size_t batch) {
        // The next batch needs batch + 1 boundaries; those held past this batch count.
        const std::size_t known = m_stream.Boundaries().size() - count;
        const std::size_t wanted = known > batch ? 0 : batch + 1 - known;
        while (!m_stream.AllRead() && !m_stream.AsideReaches(wanted) &&
               m_stream.Size() + m_stream.BytesAside() < kReadAheadBytes) {
            if (!m_stream.ReadAside()) {
                m_readFailed = true;
                return;
            }
        }
    }

    // A block of a batch: its first bytes, and when there are more, the decoder holding them.
    struct BatchBlock {
        std::vector<char> bytes;
        Bzip2BlockDecoder::Block header;
        Bzip2BlockDecoder* unfinished = nullptr;
    };

    // Decodes blocks from the front side by side, each up to `cap` bytes; a decoder whose block
    // holds more keeps it for the writing and takes no further block. Returns how many blocks
    // were taken, from the front, or 0 when any is refused or does not end where the next
    // marker was found.
    std::size_t DecodeBatch(std::size_t count, std::size_t cap, std::size_t batch) {
        if (m_batch.size() < count)
            m_batch.resize(count);
        std::atomic<std::size_t> next{0};
        std::atomic<bool> failed{false};
        auto work = [&](Bzip2BlockDecoder& decoder) {
            const auto& boundaries = m_stream.Boundaries();
            for (std::size_t i = next++; i < count && !failed; i = next++) {
                BatchBlock& block = m_batch[i];
                block.bytes.clear();
                block.unfinished = nullptr;
                if (!decoder.Decode(m_stream.Bytes(), m_stream.Size(),
                                    m_stream.Local(boundaries[i].bit), m_level, block.header) ||
                    m_stream.Stream(block.header.endBit) != boundaries[i + 1].bit) {
                    failed = true;
                    return;
                }
                const auto produced = decoder.Produce(block.bytes, cap);
                if (produced == Bzip2BlockDecoder::Produced::Refused) {
                    failed = true;
                    return;
                }
                if (produced == Bzip2BlockDecoder::Produced::More) {
                    block.unfinished = &decoder;
                    return;
                }
            }
        };
        std::vector<std::thread> helpers;
        for (unsigned i = 1; i < m_threads; ++i) {
            try {
                helpers.emplace_back(work, std::ref(*m_decoders[i]));
            } catch (const std::exception&) {
                break; // fewer helpers only make it slower
            }
        }
        if (!helpers.empty())
            ReadOnAside(count, batch);
        work(*m_decoders[0]);
        for (std::thread& helper : helpers)
            helper.join();
        m_stream.TakeAside();
        return failed ? 0 : std::min(next.load(), count);
    }

    EntryInput& m_raw;
    const EntryPlan& m_plan;
    EntryOutput& m_output;
    const std::atomic<bool>& m_cancel;
    const unsigned m_threads;
    RawStream m_stream;
    int m_level = 9;
    Progress m_progress;
    std::optional<DecodeResult> m_stop; // why Emit ended the run
    bool m_readFailed = false;          // reading on aside failed
    std::vector<std::unique_ptr<Bzip2BlockDecoder>>& m_decoders;
    std::vector<char>& m_block;
    std::vector<BatchBlock> m_batch;
};

} // namespace

Bzip2Workspace::Bzip2Workspace() = default;
Bzip2Workspace::~Bzip2Workspace() = default;

Bzip2SplitTeam::Bzip2SplitTeam() = default;
Bzip2SplitTeam::~Bzip2SplitTeam() = default;

std::optional<DecodeResult> DecodeBzip2Blockwise(EntryInput& raw, const EntryPlan& plan,
                                                 EntryOutput& output,
                                                 const std::atomic<bool>& cancel,
                                                 ThreadBudget& budget, Bzip2Workspace& workspace,
                                                 Bzip2SplitTeam* team) {
    if (team && plan.size >= kSplitFrom) {
        if (const auto lease = team->TryLease(); lease.owns_lock()) {
            // The calling thread is already counted; helpers come only from what is free.
            const ThreadBudget::Lease helpers =
                budget.Helpers(std::min(budget.Total(), Bzip2SplitTeam::kMostThreads) - 1);
            if (helpers.Count() > 0) {
                Bzip2Workspace& shared = team->Workspace();
                auto result =
                    BlockwiseRun(raw, plan, output, cancel, 1 + helpers.Count(), shared).Run();
                // Assigning {} would keep the capacity; a fresh vector gives the memory back.
                if (shared.raw.capacity() > kKeptRawBytes)
                    shared.raw = std::vector<unsigned char>();
                return result;
            }
        }
    }
    // Another large entry has the team, or no thread is free: this one is decoded on its own
    // thread meanwhile.
    return BlockwiseRun(raw, plan, output, cancel, 1, workspace).Run();
}
