#include "ziparchive/bzip2/BlockwiseBzip2.h"

#include "ziparchive/ThreadBudget.h"
#include "ziparchive/bzip2/Bzip2BlockDecoder.h"
#include "ziparchive/bzip2/Bzip2Blocks.h"
#include "ziparchive/bzip2/Bzip2Format.h"
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

// The raw stream as read so far, from the first block not yet decoded, with the decoder's
// slack of zero bytes kept after it. The buffer is the workspace's, kept between entries.
class RawStream {
public:
    RawStream(zip_file_t* raw, bool findBoundaries, std::vector<unsigned char>& buffer)
        : m_raw(raw), m_scan(findBoundaries), m_bytes(buffer) {
        Reserve(kBzip2ReadSlack);
        std::fill_n(m_bytes.begin(), kBzip2ReadSlack, 0);
    }

    // Reads another chunk; false when reading failed.
    bool ReadMore() {
        Reserve(m_size + kReadChunk + kBzip2ReadSlack);
        const zip_int64_t got = zip_fread(m_raw, m_bytes.data() + m_size, kReadChunk);
        if (got < 0)
            return false;
        const auto fresh = static_cast<std::size_t>(got);
        if (m_scan) {
            const std::size_t first = m_boundaries.size();
            m_scanner.Scan(m_bytes.data() + m_size, fresh, m_origin + m_size, m_boundaries);
            // One byte yields its markers last bit first.
            std::sort(m_boundaries.begin() + static_cast<std::ptrdiff_t>(first), m_boundaries.end(),
                      [](const Bzip2Boundary& a, const Bzip2Boundary& b) { return a.bit < b.bit; });
        }
        m_size += fresh;
        std::fill_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_size), kBzip2ReadSlack, 0);
        m_ended = fresh == 0;
        return true;
    }

    // Reads until bit `bit` of the stream is held or the stream ends; false when reading failed.
    bool Hold(std::uint64_t bit) {
        while (BitsHeld() < bit && !m_ended) {
            if (!ReadMore())
                return false;
        }
        return true;
    }

    bool Ended() const { return m_ended; }
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
    // Grows the buffer, never shrinking it, so that later entries reuse it.
    void Reserve(std::size_t bytes) {
        if (m_bytes.size() < bytes)
            m_bytes.resize(std::max(bytes, m_bytes.size() * 2));
    }

    zip_file_t* m_raw;
    bool m_scan;
    std::vector<unsigned char>& m_bytes;
    std::size_t m_size = 0;
    std::uint64_t m_origin = 0; // the stream byte m_bytes[0] is
    std::vector<Bzip2Boundary> m_boundaries;
    Bzip2BoundaryScanner m_scanner;
    bool m_ended = false;
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
    BlockwiseRun(zip_file_t* raw, const EntryPlan& plan, EntryOutput& output,
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
    DecodeResult ReadFailed() const {
        return {DecodeStatus::ReadFailed, 0, zip_error_strerror(zip_file_get_error(m_raw))};
    }

    // Adds a decoded block to the output and to the running checks. False ends the run with
    // m_stop as its result: nothing (libbz2 decides) for a block past the declared size, or
    // the write failure.
    bool Emit(const std::vector<char>& block, std::uint32_t storedCrc) {
        m_progress.combined = CombineBlockCrc(m_progress.combined, storedCrc);
        m_progress.total += block.size();
        if (m_progress.total > m_plan.size) {
            m_stop.reset();
            return false;
        }
        m_progress.crc = static_cast<std::uint32_t>(
            crc32(m_progress.crc, reinterpret_cast<const Bytef*>(block.data()),
                  static_cast<uInt>(block.size())));
        if (const int error = m_output.Write(block.data(), block.size())) {
            m_stop = DecodeResult{DecodeStatus::WriteFailed, error, {}};
            return false;
        }
        return true;
    }

    std::optional<DecodeResult> RunInOrder() {
        Bzip2BlockDecoder& decoder = *m_decoders.front();
        std::vector<char>& block = m_block;
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
            block.clear();
            Bzip2BlockDecoder::Block decoded;
            if (!decoder.Decode(m_stream.Bytes(), m_stream.Size(), m_stream.Local(at), m_level,
                                m_plan.size - m_progress.total, block, decoded))
                return std::nullopt;
            if (!Emit(block, decoded.storedCrc))
                return m_stop;
            at = m_stream.Stream(decoded.endBit);
            m_stream.DropBefore(at);
        }
    }

    std::optional<DecodeResult> RunSplit() {
        const std::size_t batch = std::size_t{m_threads} * 3;
        std::uint64_t expected = kBzip2HeaderBits; // where the next block must start
        std::vector<std::vector<char>> outputs;
        std::vector<Bzip2BlockDecoder::Block> blocks;
        for (;;) {
            if (m_cancel.load(std::memory_order_relaxed))
                return DecodeResult{DecodeStatus::Cancelled, 0, {}};
            // A batch is ready when it is full, or when every block before the end is known.
            auto ready = [&] {
                const std::size_t complete = m_stream.CompleteBlocks(batch);
                return complete >= batch || (complete < m_stream.Boundaries().size() &&
                                             m_stream.Boundaries()[complete].endOfStream);
            };
            while (!m_stream.Ended() && !ready()) {
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
            if (count == 0 || !DecodeBatch(count, outputs, blocks))
                return std::nullopt;
            for (std::size_t i = 0; i < count; ++i) {
                if (!Emit(outputs[i], blocks[i].storedCrc))
                    return m_stop;
            }
            expected = boundaries[count].bit;
            m_stream.DropBefore(expected);
        }
    }

    // Decodes the first `count` blocks side by side; false when any is refused or does not end
    // where the next marker was found.
    bool DecodeBatch(std::size_t count, std::vector<std::vector<char>>& outputs,
                     std::vector<Bzip2BlockDecoder::Block>& blocks) {
        outputs.resize(count);
        blocks.assign(count, {});
        std::atomic<std::size_t> next{0};
        std::atomic<bool> failed{false};
        const std::uint64_t limit = m_plan.size - m_progress.total;
        auto work = [&](Bzip2BlockDecoder& decoder) {
            const auto& boundaries = m_stream.Boundaries();
            for (std::size_t i = next++; i < count && !failed; i = next++) {
                outputs[i].clear();
                const bool decoded = decoder.Decode(m_stream.Bytes(), m_stream.Size(),
                                                    m_stream.Local(boundaries[i].bit), m_level,
                                                    limit, outputs[i], blocks[i]) &&
                                     m_stream.Stream(blocks[i].endBit) == boundaries[i + 1].bit;
                if (!decoded)
                    failed = true;
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
        work(*m_decoders[0]);
        for (std::thread& helper : helpers)
            helper.join();
        return !failed;
    }

    zip_file_t* m_raw;
    const EntryPlan& m_plan;
    EntryOutput& m_output;
    const std::atomic<bool>& m_cancel;
    const unsigned m_threads;
    RawStream m_stream;
    int m_level = 9;
    Progress m_progress;
    std::optional<DecodeResult> m_stop; // why Emit ended the run
    std::vector<std::unique_ptr<Bzip2BlockDecoder>>& m_decoders;
    std::vector<char>& m_block;
};

} // namespace

Bzip2Workspace::Bzip2Workspace() = default;
Bzip2Workspace::~Bzip2Workspace() = default;

std::optional<DecodeResult> DecodeBzip2Blockwise(zip_file_t* raw, const EntryPlan& plan,
                                                 EntryOutput& output,
                                                 const std::atomic<bool>& cancel,
                                                 ThreadBudget& budget, Bzip2Workspace& workspace) {
    // The calling thread is already counted; helpers come only from what is free.
    const ThreadBudget::Lease helpers =
        budget.Helpers(plan.size >= kSplitFrom ? budget.Total() - 1 : 0);
    return BlockwiseRun(raw, plan, output, cancel, 1 + helpers.Count(), workspace).Run();
}
