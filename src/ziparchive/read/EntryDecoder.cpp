#include "ziparchive/read/EntryDecoder.h"

#include "ziparchive/ThreadBudget.h"
#include "ziparchive/ZipHandles.h"
#include "ziparchive/bzip2/BlockwiseBzip2.h"
#include "ziparchive/read/EntryInput.h"
#include "ziparchive/read/EntryOutput.h"
#include "ziparchive/read/EntryPlan.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

namespace {

constexpr std::size_t kInputBuffer = 256 * 1024;
constexpr std::size_t kOutputBuffer = 1024 * 1024;

struct Bzip2StreamEnd {
    void operator()(bz_stream* stream) const { BZ2_bzDecompressEnd(stream); }
};

DecodeResult Corrupt(std::string detail) {
    return {DecodeStatus::Corrupt, 0, std::move(detail)};
}

// A libzip error while reading: the archive file failing is not the entry's fault.
DecodeResult FromLibzipError(zip_error_t* error) {
    const int code = zip_error_code_zip(error);
    const std::string detail = zip_error_strerror(error);
    if (code == ZIP_ER_COMPNOTSUPP)
        return {DecodeStatus::Unsupported, 0, detail};
    if ((code == ZIP_ER_READ && zip_error_code_system(error) != 0) || code == ZIP_ER_MEMORY)
        return {DecodeStatus::ReadFailed, zip_error_code_system(error), detail};
    return Corrupt(detail);
}

DecodeResult ReadFailure(const EntryInput& input) {
    return {DecodeStatus::ReadFailed, 0, input.Failure()};
}

struct InflateEnd {
    void operator()(z_stream* stream) const { inflateEnd(stream); }
};

std::uint32_t UpdateCrc(std::uint32_t crc, const char* data, std::size_t length) {
    while (length > 0) {
        const auto step = static_cast<uInt>(std::min<std::size_t>(length, 1u << 30));
        crc = static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(data), step));
        data += step;
        length -= step;
    }
    return crc;
}

} // namespace

EntryDecoder::EntryDecoder(int archiveFd, ThreadBudget& budget, Bzip2SplitTeam* team)
    : m_archiveFd(archiveFd), m_budget(budget), m_team(team),
      m_workspace(std::make_unique<Bzip2Workspace>()), m_input(kInputBuffer),
      m_output(kOutputBuffer) {}

EntryDecoder::~EntryDecoder() = default;

bool EntryDecoder::NeedsLibzip(const EntryPlan& plan) {
    return plan.method != ZIP_CM_STORE && plan.method != ZIP_CM_DEFLATE &&
           plan.method != ZIP_CM_BZIP2;
}

DecodeResult EntryDecoder::Decode(zip_t* archive, std::uint64_t index, const EntryPlan& plan,
                                  EntryOutput& output, const std::atomic<bool>& cancel) {
    if (!plan.localHeaderSound)
        return Corrupt("the entry's local header is missing or damaged");
    const ThreadBudget::Lease thread = m_budget.Worker();
    if (NeedsLibzip(plan)) {
        if (!zip_compression_method_supported(plan.method, 0))
            return {DecodeStatus::Unsupported, 0, "the compression method is not supported"};
        if (!archive)
            return {DecodeStatus::ReadFailed, 0, "the entry needs libzip, and no handle was given"};
        ZipFile file(zip_fopen_index(archive, index, 0));
        if (!file)
            return FromLibzipError(zip_get_error(archive));
        return DecodeWithLibzip(file.get(), plan, output, cancel);
    }
    EntryInput input(m_archiveFd, plan.dataStart, plan.compressedSize);
    if (plan.method == ZIP_CM_STORE)
        return DecodeStored(input, plan, output, cancel);
    if (plan.method == ZIP_CM_DEFLATE)
        return DecodeDeflated(input, plan, output, cancel);
    if (std::optional<DecodeResult> result =
            DecodeBzip2Blockwise(input, plan, output, cancel, m_budget, *m_workspace, m_team))
        return *result;
    // Something was unexpected: libbz2, decoding the entry in one piece, decides.
    if (const int error = output.Restart())
        return {DecodeStatus::WriteFailed, error, {}};
    input.Rewind();
    return DecodeBzip2(input, plan, output, cancel);
}

DecodeResult EntryDecoder::DecodeStored(EntryInput& input, const EntryPlan& plan,
                                        EntryOutput& output, const std::atomic<bool>& cancel) {
    std::uint64_t total = 0;
    std::uint32_t crc = 0;
    for (;;) {
        if (cancel.load(std::memory_order_relaxed))
            return {DecodeStatus::Cancelled, 0, {}};
        const std::int64_t got = input.Read(m_output.data(), m_output.size());
        if (got < 0)
            return ReadFailure(input);
        if (got == 0)
            break;
        total += static_cast<std::uint64_t>(got);
        if (total > plan.size)
            return Corrupt("the entry holds more data than it declares");
        crc = UpdateCrc(crc, m_output.data(), static_cast<std::size_t>(got));
        if (const int error = output.Write(m_output.data(), static_cast<std::size_t>(got)))
            return {DecodeStatus::WriteFailed, error, {}};
    }
    if (total != plan.size)
        return Corrupt("the entry holds less data than it declares");
    if (crc != plan.crc)
        return Corrupt("the entry's CRC does not match");
    return {};
}

DecodeResult EntryDecoder::DecodeDeflated(EntryInput& input, const EntryPlan& plan,
                                          EntryOutput& output, const std::atomic<bool>& cancel) {
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return {DecodeStatus::ReadFailed, 0, "cannot start inflating"};
    const std::unique_ptr<z_stream, InflateEnd> streamEnd(&stream);
    std::uint64_t total = 0;
    std::uint32_t crc = 0;
    bool inputEnded = false;
    for (;;) {
        if (cancel.load(std::memory_order_relaxed))
            return {DecodeStatus::Cancelled, 0, {}};
        if (stream.avail_in == 0 && !inputEnded) {
            const std::int64_t got = input.Read(m_input.data(), m_input.size());
            if (got < 0)
                return ReadFailure(input);
            inputEnded = got == 0;
            stream.next_in = reinterpret_cast<Bytef*>(m_input.data());
            stream.avail_in = static_cast<uInt>(got);
        }
        stream.next_out = reinterpret_cast<Bytef*>(m_output.data());
        stream.avail_out = static_cast<uInt>(m_output.size());
        const int status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
            return Corrupt("the deflated data is damaged");
        const std::size_t produced = m_output.size() - stream.avail_out;
        total += produced;
        if (total > plan.size)
            return Corrupt("the entry holds more data than it declares");
        crc = UpdateCrc(crc, m_output.data(), produced);
        if (produced > 0) {
            if (const int error = output.Write(m_output.data(), produced))
                return {DecodeStatus::WriteFailed, error, {}};
        }
        if (status == Z_STREAM_END)
            break;
        if (inputEnded && stream.avail_in == 0 && produced == 0)
            return Corrupt("the deflated data ends early");
    }
    if (total != plan.size)
        return Corrupt("the entry holds less data than it declares");
    if (crc != plan.crc)
        return Corrupt("the entry's CRC does not match");
    return {};
}
DecodeResult EntryDecoder::DecodeWithLibzip(zip_file_t* file, const EntryPlan& plan,
                                            EntryOutput& output, const std::atomic<bool>& cancel) {
    std::uint64_t total = 0;
    for (;;) {
        if (cancel.load(std::memory_order_relaxed))
            return {DecodeStatus::Cancelled, 0, {}};
        // Asking for one byte past the declared size shows whether there is more.
        const std::uint64_t wanted =
            std::min<std::uint64_t>(m_output.size(), plan.size - total + 1);
        const zip_int64_t got = zip_fread(file, m_output.data(), wanted);
        if (got < 0)
            return FromLibzipError(zip_file_get_error(file));
        if (got == 0)
            break;
        total += static_cast<std::uint64_t>(got);
        if (total > plan.size)
            return Corrupt("the entry holds more data than it declares");
        if (const int error = output.Write(m_output.data(), static_cast<std::size_t>(got)))
            return {DecodeStatus::WriteFailed, error, {}};
    }
    // libzip has compared the CRC once zip_fread returned 0.
    if (total != plan.size)
        return Corrupt("the entry holds less data than it declares");
    return {};
}

DecodeResult EntryDecoder::DecodeBzip2(EntryInput& input, const EntryPlan& plan,
                                       EntryOutput& output, const std::atomic<bool>& cancel) {
    bz_stream stream{};
    m_bzip2Arena.Attach(stream);
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK)
        return {DecodeStatus::ReadFailed, 0, "cannot start a bzip2 stream"};
    const std::unique_ptr<bz_stream, Bzip2StreamEnd> streamEnd(&stream);
    std::uint64_t total = 0;
    std::uint32_t crc = 0;
    bool inputEnded = false;
    for (;;) {
        if (cancel.load(std::memory_order_relaxed))
            return {DecodeStatus::Cancelled, 0, {}};
        if (stream.avail_in == 0 && !inputEnded) {
            const std::int64_t got = input.Read(m_input.data(), m_input.size());
            if (got < 0)
                return ReadFailure(input);
            inputEnded = got == 0;
            stream.next_in = m_input.data();
            stream.avail_in = static_cast<unsigned>(got);
        }
        stream.next_out = m_output.data();
        stream.avail_out = static_cast<unsigned>(m_output.size());
        const int status = BZ2_bzDecompress(&stream);
        if (status != BZ_OK && status != BZ_STREAM_END)
            return Corrupt("the bzip2 data is damaged");
        const std::size_t produced = m_output.size() - stream.avail_out;
        total += produced;
        if (total > plan.size)
            return Corrupt("the entry holds more data than it declares");
        crc = UpdateCrc(crc, m_output.data(), produced);
        if (produced > 0) {
            if (const int error = output.Write(m_output.data(), produced))
                return {DecodeStatus::WriteFailed, error, {}};
        }
        if (status == BZ_STREAM_END)
            break;
        if (inputEnded && stream.avail_in == 0 && produced == 0)
            return Corrupt("the bzip2 data ends early");
    }
    if (total != plan.size)
        return Corrupt("the entry holds less data than it declares");
    if (crc != plan.crc)
        return Corrupt("the entry's CRC does not match");
    return {};
}
