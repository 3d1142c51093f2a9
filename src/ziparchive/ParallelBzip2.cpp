#include "ziparchive/ParallelBzip2.h"

#include "ziparchive/Bzip2Blocks.h"
#include "ziparchive/Bzip2Memory.h"
#include "ziparchive/EntryOutput.h"
#include "ziparchive/EntryPlan.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <thread>

namespace {

constexpr std::size_t kReadChunk = 1 << 20;
constexpr std::size_t kFirstOutput = 1 << 20;
constexpr std::uint64_t kHeaderBits = 32;
constexpr std::uint64_t kMarkerBits = 48;

struct Bzip2StreamEnd {
    void operator()(bz_stream* stream) const { BZ2_bzDecompressEnd(stream); }
};

// Decodes a stream holding one block into `out`; false when it fails or would exceed `limit`.
bool DecodeWrappedBlock(const std::vector<char>& stream, std::vector<char>& out,
                        std::uint64_t limit, Bzip2Memory& memory) {
    bz_stream bz{};
    bz.bzalloc = &Bzip2Memory::Allocate;
    bz.bzfree = &Bzip2Memory::Release;
    bz.opaque = &memory;
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK)
        return false;
    const std::unique_ptr<bz_stream, Bzip2StreamEnd> end(&bz);
    bz.next_in = const_cast<char*>(stream.data());
    bz.avail_in = static_cast<unsigned>(stream.size());
    out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kFirstOutput, limit + 1)));
    std::size_t produced = 0;
    for (;;) {
        bz.next_out = out.data() + produced;
        bz.avail_out =
            static_cast<unsigned>(std::min<std::size_t>(out.size() - produced, 1u << 30));
        const unsigned offered = bz.avail_out;
        const int status = BZ2_bzDecompress(&bz);
        produced += offered - bz.avail_out;
        if (status == BZ_STREAM_END) {
            out.resize(produced);
            return produced <= limit;
        }
        if (status != BZ_OK)
            return false;
        if (produced == out.size()) {
            if (out.size() > limit)
                return false;
            out.resize(
                static_cast<std::size_t>(std::min<std::uint64_t>(out.size() * 2, limit + 1)));
        } else if (bz.avail_in == 0) {
            return false;
        }
    }
}

// The raw stream as read so far, from the start of the first block not yet decoded, and the
// markers found in it.
class SplitStream {
public:
    explicit SplitStream(zip_file_t* raw) : m_raw(raw) {}

    // Reads another chunk; false when reading failed.
    bool ReadMore() {
        const std::size_t had = m_bytes.size();
        m_bytes.resize(had + kReadChunk);
        const zip_int64_t got = zip_fread(m_raw, m_bytes.data() + had, kReadChunk);
        if (got < 0) {
            m_bytes.resize(had);
            return false;
        }
        m_bytes.resize(had + static_cast<std::size_t>(got));
        m_ended = got == 0;
        const std::size_t first = m_boundaries.size();
        m_scanner.Scan(m_bytes.data() + had, static_cast<std::size_t>(got), m_origin + had,
                       m_boundaries);
        // One byte yields its markers last bit first.
        std::sort(m_boundaries.begin() + static_cast<std::ptrdiff_t>(first), m_boundaries.end(),
                  [](const Bzip2Boundary& a, const Bzip2Boundary& b) { return a.bit < b.bit; });
        m_boundaries.erase(
            std::remove_if(m_boundaries.begin(), m_boundaries.end(),
                           [](const Bzip2Boundary& b) { return b.bit < kHeaderBits; }),
            m_boundaries.end());
        return true;
    }

    bool Ended() const { return m_ended; }
    const std::vector<Bzip2Boundary>& Boundaries() const { return m_boundaries; }
    const unsigned char* Bytes() const { return m_bytes.data(); }
    std::size_t Size() const { return m_bytes.size(); }
    std::uint64_t BitsRead() const { return (m_origin + m_bytes.size()) * 8; }
    // Stream bit `bit` as a bit offset into Bytes().
    std::uint64_t Local(std::uint64_t bit) const { return bit - m_origin * 8; }

    // Blocks at the front whose end is known, up to `most`.
    std::size_t CompleteBlocks(std::size_t most) const {
        std::size_t count = 0;
        while (count < most && count + 1 < m_boundaries.size() && !m_boundaries[count].endOfStream)
            ++count;
        return count;
    }

    // Forgets the first `count` boundaries and the bytes before the next one.
    void Consume(std::size_t count) {
        m_boundaries.erase(m_boundaries.begin(),
                           m_boundaries.begin() + static_cast<std::ptrdiff_t>(count));
        if (m_boundaries.empty())
            return;
        const std::uint64_t keepFrom = m_boundaries.front().bit / 8;
        const auto drop = static_cast<std::size_t>(keepFrom - m_origin);
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<std::ptrdiff_t>(drop));
        m_origin = keepFrom;
    }

private:
    zip_file_t* m_raw;
    std::vector<unsigned char> m_bytes;
    std::uint64_t m_origin = 0; // the stream byte m_bytes[0] is
    std::vector<Bzip2Boundary> m_boundaries;
    Bzip2BoundaryScanner m_scanner;
    bool m_ended = false;
};

// Decodes the blocks [0, count) of the stream side by side; false when any fails.
bool DecodeBatch(const SplitStream& stream, std::size_t count, char level, std::uint64_t limit,
                 unsigned threads, std::vector<std::vector<char>>& outputs) {
    outputs.resize(count);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    auto work = [&] {
        Bzip2Memory memory;
        for (std::size_t i = next++; i < count && !failed; i = next++) {
            const auto& boundaries = stream.Boundaries();
            const std::vector<char> wrapped =
                WrapBlock(stream.Bytes(), stream.Local(boundaries[i].bit),
                          stream.Local(boundaries[i + 1].bit), level);
            if (!DecodeWrappedBlock(wrapped, outputs[i], limit, memory))
                failed = true;
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < threads; ++i) {
        try {
            helpers.emplace_back(work);
        } catch (const std::exception&) {
            break; // fewer helpers only make it slower
        }
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
    return !failed;
}

} // namespace

std::optional<DecodeResult> DecodeBzip2InBlocks(zip_file_t* raw, const EntryPlan& plan,
                                                EntryOutput& output,
                                                const std::atomic<bool>& cancel, unsigned threads) {
    SplitStream stream(raw);
    auto readFailed = [&] {
        return DecodeResult{DecodeStatus::ReadFailed, 0,
                            zip_error_strerror(zip_file_get_error(raw))};
    };
    while (stream.Size() < 4 && !stream.Ended()) {
        if (!stream.ReadMore())
            return readFailed();
    }
    const unsigned char* header = stream.Bytes();
    if (stream.Size() < 4 || header[0] != 'B' || header[1] != 'Z' || header[2] != 'h' ||
        header[3] < '1' || header[3] > '9')
        return std::nullopt;
    const char level = static_cast<char>(header[3]);
    const std::size_t batch = std::max(2u, threads) * 3;
    std::uint64_t expected = kHeaderBits; // where the next block must start
    std::uint64_t total = 0;
    std::uint32_t crc = 0;
    std::uint32_t combined = 0;
    std::vector<std::vector<char>> outputs;
    for (;;) {
        if (cancel.load(std::memory_order_relaxed))
            return DecodeResult{DecodeStatus::Cancelled, 0, {}};
        // A batch is ready when it is full or the blocks before the end marker are all known.
        auto ready = [&] {
            const std::size_t complete = stream.CompleteBlocks(batch);
            return complete >= batch || (complete < stream.Boundaries().size() &&
                                         stream.Boundaries()[complete].endOfStream);
        };
        while (!stream.Ended() && !ready()) {
            if (!stream.ReadMore())
                return readFailed();
        }
        const auto& boundaries = stream.Boundaries();
        if (boundaries.empty() || boundaries.front().bit != expected)
            return std::nullopt;
        if (boundaries.front().endOfStream) {
            const std::uint64_t crcAt = boundaries.front().bit + kMarkerBits;
            while (stream.BitsRead() < crcAt + 32 && !stream.Ended()) {
                if (!stream.ReadMore())
                    return readFailed();
            }
            if (stream.BitsRead() < crcAt + 32 ||
                ReadBits32(stream.Bytes(), stream.Size(), stream.Local(crcAt)) != combined ||
                total != plan.size || crc != plan.crc)
                return std::nullopt;
            return DecodeResult{};
        }
        const std::size_t count = stream.CompleteBlocks(batch);
        if (count == 0)
            return std::nullopt;
        if (!DecodeBatch(stream, count, level, plan.size - total, threads, outputs))
            return std::nullopt;
        for (std::size_t i = 0; i < count; ++i) {
            const std::vector<char>& block = outputs[i];
            combined = CombineBlockCrc(combined,
                                       ReadBits32(stream.Bytes(), stream.Size(),
                                                  stream.Local(boundaries[i].bit + kMarkerBits)));
            total += block.size();
            if (total > plan.size)
                return std::nullopt;
            crc =
                static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(block.data()),
                                                 static_cast<uInt>(block.size())));
            if (const int error = output.Write(block.data(), block.size()))
                return DecodeResult{DecodeStatus::WriteFailed, error, {}};
        }
        expected = boundaries[count].bit;
        stream.Consume(count);
    }
}
