#include "ziparchive/read/EntryDecoder.h"

#include "ziparchive/ThreadBudget.h"
#include "ziparchive/ZipHandles.h"
#include "ziparchive/bzip2/BlockwiseBzip2.h"
#include "ziparchive/read/AesCheck.h"
#include "ziparchive/read/EntryInput.h"
#include "ziparchive/read/EntryOutput.h"
#include "ziparchive/read/EntryPlan.h"
#include "ziparchive/read/decode/Bzip2Stream.h"
#include "ziparchive/read/decode/CheckedSink.h"
#include "ziparchive/read/decode/InflateStream.h"
#include "ziparchive/read/decode/LzmaStream.h"
#include "ziparchive/read/decode/StreamLoop.h"
#include "ziparchive/read/decode/XzStream.h"
#include "ziparchive/read/decode/ZstdStream.h"

#include <algorithm>
#include <memory>

namespace {

constexpr std::size_t kInputBuffer = 256 * 1024;
constexpr std::size_t kOutputBuffer = 1024 * 1024;
// libzip 1.7 has no name for it.
constexpr std::uint16_t kZstandard = 93;

// A libzip error while reading: the archive file failing is not the entry's fault.
DecodeResult FromLibzipError(zip_error_t* error) {
    const int code = zip_error_code_zip(error);
    const std::string detail = zip_error_strerror(error);
    if (code == ZIP_ER_COMPNOTSUPP)
        return {DecodeStatus::Unsupported, 0, detail};
    if ((code == ZIP_ER_READ && zip_error_code_system(error) != 0) || code == ZIP_ER_MEMORY)
        return {DecodeStatus::ReadFailed, zip_error_code_system(error), detail};
    return DecodeResult::Corrupt(detail);
}

} // namespace

EntryDecoder::EntryDecoder(int archiveFd, ThreadBudget& budget, Bzip2SplitTeam* team)
    : m_archiveFd(archiveFd), m_budget(budget), m_team(team),
      m_workspace(std::make_unique<Bzip2Workspace>()) {}

EntryDecoder::~EntryDecoder() = default;

bool EntryDecoder::NeedsLibzip(const EntryPlan& plan) {
    // libzip decrypts, with the password set on its handle.
    if (plan.encrypted)
        return true;
    switch (plan.method) {
    case ZIP_CM_STORE:
    case ZIP_CM_DEFLATE:
    case ZIP_CM_BZIP2:
    case ZIP_CM_LZMA:
    case ZIP_CM_XZ:
    case kZstandard:
        return false;
    default:
        return true;
    }
}

DecodeResult EntryDecoder::Decode(zip_t* archive, std::uint64_t index, const EntryPlan& plan,
                                  EntryOutput& output, const std::atomic<bool>& cancel) {
    if (!plan.localHeaderSound)
        return DecodeResult::Corrupt("the entry's local header is missing or damaged");
    const ThreadBudget::Lease thread = m_budget.Worker();
    if (NeedsLibzip(plan)) {
        if (!zip_compression_method_supported(plan.method, 0))
            return {DecodeStatus::Unsupported, 0, "the compression method is not supported"};
        if (!archive)
            return {DecodeStatus::ReadFailed, 0, "the entry needs libzip, and no handle was given"};
        ZipFile file(zip_fopen_index(archive, index, 0));
        if (!file)
            return FromLibzipError(zip_get_error(archive));
        if (!CrcFieldUnused(archive, index, plan))
            return DecodeWithLibzip(file.get(), plan, output, cancel, true);
        DecodeResult result = DecodeWithLibzip(file.get(), plan, output, cancel, false);
        if (result.status == DecodeStatus::Sound)
            result = CheckAuthentication(archive, index, plan);
        return result;
    }
    EntryInput input(m_archiveFd, plan.dataStart, plan.compressedSize);
    switch (plan.method) {
    case ZIP_CM_STORE:
        return DecodeStored(input, plan, output, cancel);
    case ZIP_CM_DEFLATE:
        return DecodeWith(*NewInflateStream(), input, plan, output, cancel);
    case ZIP_CM_LZMA:
        return DecodeWith(*NewLzmaStream(plan.size), input, plan, output, cancel);
    case ZIP_CM_XZ:
        return DecodeWith(*NewXzStream(), input, plan, output, cancel);
    case kZstandard:
        return DecodeWith(*NewZstdStream(), input, plan, output, cancel);
    default: // BZIP2, the last method NeedsLibzip leaves to this decoder
        return DecodeBzip2(input, plan, output, cancel);
    }
}

void EntryDecoder::MakeBuffers() {
    // A stored entry may have made the output buffer before, to its own smaller size.
    m_input.resize(kInputBuffer);
    m_output.resize(kOutputBuffer);
}

DecodeResult EntryDecoder::DecodeStored(EntryInput& input, const EntryPlan& plan,
                                        EntryOutput& output, const std::atomic<bool>& cancel) {
    // Sized to the entry: an empty file, which archivers store, needs no buffer at all.
    const auto most =
        static_cast<std::size_t>(std::min<std::uint64_t>(kOutputBuffer, input.Left()));
    if (m_output.size() < most)
        m_output.resize(most);
    CheckedSink sink(plan.size, plan.crc, output);
    for (;;) {
        if (cancel.load(std::memory_order_relaxed))
            return {DecodeStatus::Cancelled, 0, {}};
        const std::int64_t got = input.Read(m_output.data(), m_output.size());
        if (got < 0)
            return {DecodeStatus::ReadFailed, 0, input.Failure()};
        if (got == 0)
            return sink.Finish();
        if (!sink.Take(m_output.data(), static_cast<std::size_t>(got)))
            return sink.Failure();
    }
}

DecodeResult EntryDecoder::DecodeWith(StreamDecompressor& decompressor, EntryInput& input,
                                      const EntryPlan& plan, EntryOutput& output,
                                      const std::atomic<bool>& cancel) {
    MakeBuffers();
    CheckedSink sink(plan.size, plan.crc, output);
    return DecodeStream(decompressor, input, sink, m_input, m_output, cancel);
}

DecodeResult EntryDecoder::DecodeBzip2(EntryInput& input, const EntryPlan& plan,
                                       EntryOutput& output, const std::atomic<bool>& cancel) {
    if (std::optional<DecodeResult> result =
            DecodeBzip2Blockwise(input, plan, output, cancel, m_budget, *m_workspace, m_team))
        return *result;
    // Something was unexpected: libbz2, decoding the entry in one piece, decides.
    if (const int error = output.Restart())
        return {DecodeStatus::WriteFailed, error, {}};
    input.Rewind();
    return DecodeWith(*NewBzip2Stream(m_bzip2Arena), input, plan, output, cancel);
}

DecodeResult EntryDecoder::DecodeWithLibzip(zip_file_t* file, const EntryPlan& plan,
                                            EntryOutput& output, const std::atomic<bool>& cancel,
                                            bool crcChecked) {
    MakeBuffers();
    // libzip compares the CRC itself once zip_fread returns 0.
    CheckedSink sink(plan.size, std::nullopt, output);
    for (;;) {
        if (cancel.load(std::memory_order_relaxed))
            return {DecodeStatus::Cancelled, 0, {}};
        // Asking for one byte past the declared size shows whether there is more.
        const std::uint64_t wanted =
            sink.Room() < m_output.size() ? sink.Room() + 1 : m_output.size();
        const zip_int64_t got = zip_fread(file, m_output.data(), wanted);
        // Where the CRC field is unused, libzip's CRC error once all the data is out is no
        // fault (AesCheck.h).
        if (got < 0 && !crcChecked && sink.Room() == 0 &&
            zip_error_code_zip(zip_file_get_error(file)) == ZIP_ER_CRC)
            return sink.Finish();
        if (got < 0)
            return FromLibzipError(zip_file_get_error(file));
        if (got == 0)
            return sink.Finish();
        if (!sink.Take(m_output.data(), static_cast<std::size_t>(got)))
            return sink.Failure();
    }
}
