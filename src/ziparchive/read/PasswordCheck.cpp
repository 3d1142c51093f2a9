#include "ziparchive/read/PasswordCheck.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/ZipHandles.h"
#include "ziparchive/read/EntryPlan.h"
#include "ziparchive/read/StageEntry.h"

#include <optional>
#include <vector>

namespace {

// Up to this compressed size the judged entry is decoded in full: the check costs no more than
// a second read of one small entry.
constexpr std::uint64_t kFullCheckBytes = 8ull * 1024 * 1024;
// Of a larger entry, this much is decoded.
constexpr std::size_t kFirstBytes = 64 * 1024;

bool Judgeable(zip_t* archive, std::uint64_t index, const EntryPlan& plan) {
    if (!plan.encrypted || plan.refusal != 0 || !plan.localHeaderSound ||
        plan.kind == EntryKind::Directory || plan.size == 0 ||
        !zip_compression_method_supported(plan.method, 0))
        return false;
    zip_stat_t st;
    zip_stat_init(&st);
    return zip_stat_index(archive, index, 0, &st) == 0 && (st.valid & ZIP_STAT_ENCRYPTION_METHOD) &&
           zip_encryption_method_supported(st.encryption_method, 0);
}

std::optional<std::uint64_t> SmallestEncrypted(zip_t* archive, const EntryPlans& plans) {
    std::optional<std::uint64_t> smallest;
    for (std::uint64_t i = 0; i < plans.size(); ++i) {
        const EntryPlan& plan = plans[i];
        if ((!smallest || plan.compressedSize < plans[*smallest].compressedSize) &&
            Judgeable(archive, i, plan))
            smallest = i;
    }
    return smallest;
}

// libzip refuses a wrong password at once by its check bytes, or, when those pass by chance,
// the decompressor meets garbage. Any other failure is the archive's.
bool FirstBytesDecode(zip_t* archive, std::uint64_t index) {
    ZipFile file(zip_fopen_index(archive, index, 0));
    zip_error_t* error = file ? nullptr : zip_get_error(archive);
    if (file) {
        std::vector<char> buffer(kFirstBytes);
        if (zip_fread(file.get(), buffer.data(), buffer.size()) >= 0)
            return true;
        error = zip_file_get_error(file.get());
    }
    switch (zip_error_code_zip(error)) {
    case ZIP_ER_WRONGPASSWD:
    case ZIP_ER_COMPRESSED_DATA:
    case ZIP_ER_CRC:
        return false;
    default:
        throw CZipException(std::string("cannot read the archive: ") + zip_error_strerror(error));
    }
}

} // namespace

bool PasswordOpens(zip_t* archive, const EntryPlans& plans, EntryDecoder& decoder,
                   const std::atomic<bool>& cancel) {
    const std::optional<std::uint64_t> judged = SmallestEncrypted(archive, plans);
    if (!judged)
        return true;
    const EntryPlan& plan = plans[*judged];
    if (plan.compressedSize > kFullCheckBytes)
        return FirstBytesDecode(archive, *judged);
    // Decoded without a staging folder: only checked, nothing written.
    const DecodeResult result = StageEntry(archive, *judged, plan, -1, decoder, cancel).decode;
    switch (result.status) {
    case DecodeStatus::Corrupt:
        return false;
    case DecodeStatus::ReadFailed:
    case DecodeStatus::WriteFailed:
        throw CZipException("cannot read the archive: " + result.detail);
    case DecodeStatus::Sound:
    case DecodeStatus::Unsupported:
    case DecodeStatus::Cancelled:
        break;
    }
    return true;
}
