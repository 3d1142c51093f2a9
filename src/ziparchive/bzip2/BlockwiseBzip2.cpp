#include "ziparchive/bzip2/BlockwiseBzip2.h"

#include "ziparchive/ThreadBudget.h"
#include "ziparchive/bzip2/Bzip2BlockDecoder.h"
#include "ziparchive/bzip2/Bzip2Format.h"
#include "ziparchive/bzip2/Bzip2RawStream.h"
#include "ziparchive/read/EntryInput.h"
#include "ziparchive/read/EntryOutput.h"
#include "ziparchive/read/EntryPlan.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// More than the largest block's compressed size (900,000 symbols of at most 20 bits, plus
// tables and selectors), so a block read in order is always whole.
constexpr std::uint64_t kLargestBlockBits = 24ull * 1024 * 1024;
// Entries this large are worth splitting into blocks for several threads.
constexpr std::uint64_t kSplitFrom = 8ull * 1024 * 1024;
// Decoded bytes are written in pieces of this size; a block can expand to 45 MB.
constexpr std::size_t kPiece = 1 << 20;
// What a split run holds at most of decoded bytes waiting to be written. A block's nominal size
// is its level times 100,000 bytes; each block in flight may hold twice that before the rest of
// it waits in its decoder.
constexpr std::size_t kInFlightBytes = 48ull * 1024 * 1024;
// A split run's read buffer is given back after the entry when it grew past this.
constexpr std::size_t kKeptRawBytes = 8ull * 1024 * 1024;

// What the blocks decoded so far add up to.
struct Progress {
    std::uint64_t total = 0;
    std::uint32_t crc = 0;
    std::uint32_t combined = 0;
};

// Checks the end marker's stream CRC and the entry's size and CRC-32.
bool EndsSound(const Bzip2RawStream& stream, std::uint64_t endMarker, const EntryPlan& plan,
               const Progress& progress) {
    const std::uint64_t crcAt = endMarker + kBzip2MarkerBits;
    return stream.BitsHeld() >= crcAt + 32 && stream.Bits32(crcAt) == progress.combined &&
           progress.total == plan.size && progress.crc == plan.crc;
}

// A block of a split run, from the moment it is cut from the stream until it is written. It
// carries its own copy of the compressed bytes, so that the stream can be read on and moved while
// other threads decode it.
struct BlockInFlight {
    enum class State { Queued, Decoded, Refused };
    State state = State::Queued;
    // From the byte holding the block's marker to past the next marker, slack after it.
    std::vector<unsigned char> compressed;
    std::uint64_t startBit = 0; // the block's marker, in `compressed`
    std::uint64_t endBit = 0;   // the next marker, where the block must end
    std::vector<char> bytes;    // its first decoded bytes
    Bzip2BlockDecoder::Block header;
    // When the block holds more than `bytes`, the decoder holding the rest; its thread waits
    // until the block is written.
    Bzip2BlockDecoder* unfinished = nullptr;
};

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

    // The split run is a pipeline: this thread reads the stream, cuts it into blocks at the
    // markers it finds, writes the decoded blocks in order, and decodes blocks itself when it
    // has nothing else to do; the helpers decode blocks as long as there are any. At most
    // m_slots blocks are in flight, from the one being cut to the one being written, so the
    // bytes held stay bounded and no thread waits for a whole batch to finish.
    std::optional<DecodeResult> RunSplit() {
        // Enough blocks in flight to keep every thread busy while the oldest one finishes, few
        // enough that their bytes stay within kInFlightBytes at twice the nominal size.
        const std::size_t nominal = std::size_t{100000} * static_cast<std::size_t>(m_level);
        m_slots =
            std::clamp<std::size_t>(kInFlightBytes / (2 * nominal), m_threads + 1, m_threads * 3);
        m_cap = kInFlightBytes / m_slots;
        m_flight.resize(m_slots);
        HelperThreads helpers(*this);
        for (unsigned i = 1; i < m_threads; ++i) {
            try {
                helpers.threads.emplace_back(&BlockwiseRun::Help, this, std::ref(*m_decoders[i]));
            } catch (const std::exception&) {
                break; // fewer helpers only make it slower
            }
        }
        return Drive();
    }

    // Stops the helpers and waits for them, however the run ends.
    struct HelperThreads {
        explicit HelperThreads(BlockwiseRun& run) : run(run) {}
        ~HelperThreads() {
            {
                const std::lock_guard lock(run.m_mutex);
                run.m_over = true;
            }
            run.m_changed.notify_all();
            for (std::thread& thread : threads)
                thread.join();
        }
        BlockwiseRun& run;
        std::vector<std::thread> threads;
    };

    BlockInFlight& Slot(std::size_t sequence) { return m_flight[sequence % m_slots]; }

    // A helper: decodes the oldest block not yet taken, until the run is over.
    void Help(Bzip2BlockDecoder& decoder) {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_over || m_taken < m_cut; });
            if (m_over)
                return;
            const std::size_t sequence = m_taken++;
            BlockInFlight& block = Slot(sequence);
            lock.unlock();
            const auto produced = DecodeInFlight(block, decoder);
            lock.lock();
            Settle(block, produced);
            m_changed.notify_all();
            // The decoder holds the rest of the block until the writer has taken it.
            if (produced == Bzip2BlockDecoder::Produced::More)
                m_changed.wait(lock, [&] { return m_over || m_written > sequence; });
        }
    }

    // Decodes the block, keeping up to m_cap of its bytes; when it holds more, the decoder keeps
    // the rest for the writer.
    Bzip2BlockDecoder::Produced DecodeInFlight(BlockInFlight& block, Bzip2BlockDecoder& decoder) {
        block.bytes.clear();
        block.unfinished = nullptr;
        const std::size_t size = block.compressed.size() - kBzip2ReadSlack;
        if (!decoder.Decode(block.compressed.data(), size, block.startBit, m_level, block.header) ||
            block.header.endBit != block.endBit)
            return Bzip2BlockDecoder::Produced::Refused;
        const auto produced = decoder.Produce(block.bytes, m_cap);
        if (produced == Bzip2BlockDecoder::Produced::More)
            block.unfinished = &decoder;
        return produced;
    }

    // Hands the decoded block to the writer; with the lock held.
    static void Settle(BlockInFlight& block, Bzip2BlockDecoder::Produced produced) {
        block.state = produced == Bzip2BlockDecoder::Produced::Refused
                          ? BlockInFlight::State::Refused
                          : BlockInFlight::State::Decoded;
    }

    // What cutting the next block from the stream came to.
    enum class Cut { Block, End, Refused, ReadFailed };

    // Copies the block that starts at `expected` into `block`, reading on until the next marker
    // is found, and moves `expected` to it; or finds the end marker there.
    Cut CutNext(std::uint64_t& expected, BlockInFlight& block) {
        for (;;) {
            const auto& boundaries = m_stream.Boundaries();
            if (!boundaries.empty()) {
                if (boundaries.front().bit != expected)
                    return Cut::Refused;
                if (boundaries.front().endOfStream)
                    return m_stream.Hold(expected + kBzip2MarkerBits + 32) ? Cut::End
                                                                           : Cut::ReadFailed;
                if (boundaries.size() > 1) {
                    const std::uint64_t next = boundaries[1].bit;
                    const std::uint64_t from = m_stream.Local(expected) / 8;
                    const std::uint64_t to = (m_stream.Local(next) + kBzip2MarkerBits + 7) / 8;
                    block.compressed.assign(m_stream.Bytes() + from, m_stream.Bytes() + to);
                    block.compressed.resize(block.compressed.size() + kBzip2ReadSlack, 0);
                    block.startBit = m_stream.Local(expected) - from * 8;
                    block.endBit = m_stream.Local(next) - from * 8;
                    block.state = BlockInFlight::State::Queued;
                    expected = next;
                    m_stream.DropBefore(expected);
                    return Cut::Block;
                }
            }
            // The stream ends without the next marker, or no block runs on that far: either way
            // the stream is not held whole to find out what libbz2 makes of it.
            if (m_stream.Ended() ||
                m_stream.BitsHeld() > expected + kLargestBlockBits + kBzip2MarkerBits)
                return Cut::Refused;
            if (!m_stream.ReadMore())
                return Cut::ReadFailed;
        }
    }

    // Writes the block, and what its decoder still holds. False ends the run with m_stop.
    bool WriteInFlight(const BlockInFlight& block) {
        if (!Emit(block.bytes))
            return false;
        if (block.unfinished)
            return EmitRest(*block.unfinished, block.header.storedCrc);
        m_progress.combined = CombineBlockCrc(m_progress.combined, block.header.storedCrc);
        return true;
    }

    // This thread's part of the pipeline, in order of urgency: write the oldest block once it
    // is decoded, which frees its slot; cut the next block while a slot is free; decode a block
    // when one waits and this thread's decoder is free; otherwise wait for a helper.
    std::optional<DecodeResult> Drive() {
        Bzip2BlockDecoder& own = *m_decoders.front();
        bool ownHoldsMore = false;
        std::uint64_t expected = kBzip2HeaderBits; // where the next block must start
        bool endFound = false;
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_cancel.load(std::memory_order_relaxed))
                return DecodeResult{DecodeStatus::Cancelled, 0, {}};
            if (m_written < m_cut) {
                BlockInFlight& oldest = Slot(m_written);
                if (oldest.state == BlockInFlight::State::Refused)
                    return std::nullopt;
                if (oldest.state == BlockInFlight::State::Decoded) {
                    lock.unlock();
                    const bool written = WriteInFlight(oldest);
                    if (oldest.unfinished == &own)
                        ownHoldsMore = false;
                    lock.lock();
                    ++m_written;
                    m_changed.notify_all();
                    if (!written)
                        return m_stop;
                    continue;
                }
            } else if (endFound) {
                if (!EndsSound(m_stream, expected, m_plan, m_progress))
                    return std::nullopt;
                return DecodeResult{};
            }
            if (!endFound && m_cut - m_written < m_slots) {
                BlockInFlight& next = Slot(m_cut);
                lock.unlock();
                const Cut cut = CutNext(expected, next);
                lock.lock();
                if (cut == Cut::Refused)
                    return std::nullopt;
                if (cut == Cut::ReadFailed)
                    return ReadFailed();
                if (cut == Cut::End) {
                    endFound = true;
                } else {
                    ++m_cut;
                    m_changed.notify_all();
                }
                continue;
            }
            if (!ownHoldsMore && m_taken < m_cut) {
                BlockInFlight& block = Slot(m_taken++);
                lock.unlock();
                const auto produced = DecodeInFlight(block, own);
                lock.lock();
                Settle(block, produced);
                ownHoldsMore = produced == Bzip2BlockDecoder::Produced::More;
                continue;
            }
            m_changed.wait(lock);
        }
    }

    EntryInput& m_raw;
    const EntryPlan& m_plan;
    EntryOutput& m_output;
    const std::atomic<bool>& m_cancel;
    const unsigned m_threads;
    Bzip2RawStream m_stream;
    int m_level = 9;
    Progress m_progress;
    std::optional<DecodeResult> m_stop; // why Emit ended the run
    std::vector<std::unique_ptr<Bzip2BlockDecoder>>& m_decoders;
    std::vector<char>& m_block;

    // The split run's blocks in flight, a ring of m_slots indexed by the blocks' order in the
    // stream. Which thread may touch a block follows from the counts, which m_mutex guards:
    // blocks from m_written to m_cut are in flight; those from m_taken on wait for a decoder.
    std::size_t m_slots = 0;
    std::size_t m_cap = 0; // decoded bytes a block in flight holds before its decoder waits
    std::vector<BlockInFlight> m_flight;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_cut = 0;
    std::size_t m_taken = 0;
    std::size_t m_written = 0;
    bool m_over = false;
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
