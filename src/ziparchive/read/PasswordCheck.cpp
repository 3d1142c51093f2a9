#include "ziparchive/read/PasswordCheck.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/ZipHandles.h"
#include "ziparchive/read/EntryPlan.h"
#include "ziparchive/read/StageEntry.h"

#include <algorithm>
#include <vector>

namespace {

// Up to this compressed size the judged entry is decoded in full: the check costs no more than
// a second read of one small entry.
constexpr std::uint64_t kFullCheckBytes = 8ull * 1024 * 1024;
// Of a larger entry, this much is decoded.
constexpr std::size_t kFirstBytes = 64 * 1024;
// A damaged entry whose check bytes pass does not prove the password wrong: the next smallest
// is judged, up to this many in all.
constexpr std::size_t kMostJudged = 3;

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

// The judgeable entries, smallest first, at most `count` of them. Only an entry smaller than
// the largest kept is looked at further.
std::vector<std::uint64_t> SmallestEncrypted(zip_t* archive, const EntryPlans& plans,
                                             std::size_t count) {
    std::vector<std::uint64_t> smallest;
    const auto smaller = [&plans](std::uint64_t a, std::uint64_t b) {
        return plans[a].compressedSize < plans[b].compressedSize;
    };
    for (std::uint64_t i = 0; i < plans.size(); ++i) {
        if (smallest.size() == count && !smaller(i, smallest.back()))
            continue;
        if (!Judgeable(archive, i, plans[i]))
            continue;
        smallest.insert(std::upper_bound(smallest.begin(), smallest.end(), i, smaller), i);
        if (smallest.size() > count)
            smallest.pop_back();
    }
    return smallest;
}

enum class Verdict {
    Opens,   // the entry decodes
    Refused, // its check bytes refuse the password: it is wrong
    Unsure,  // the check bytes pass, yet the data does not decode: a wrong password that
             // passed them by chance, or a damaged entry
};

// libzip compares the password's check bytes when the entry is opened.
bool CheckBytesRefuse(zip_t* archive, std::uint64_t index) {
    const ZipFile file(zip_fopen_index(archive, index, 0));
    return !file && zip_error_code_zip(zip_get_error(archive)) == ZIP_ER_WRONGPASSWD;
}

// Of a large entry, the check bytes when it is opened, then the first bytes, which a wrong key
// turns into data the decompressor refuses. Any failure other than these is the archive's.
Verdict FirstBytesDecode(zip_t* archive, std::uint64_t index) {
    ZipFile file(zip_fopen_index(archive, index, 0));
    zip_error_t* error = file ? nullptr : zip_get_error(archive);
    if (file) {
        std::vector<char> buffer(kFirstBytes);
        if (zip_fread(file.get(), buffer.data(), buffer.size()) >= 0)
            return Verdict::Opens;
        error = zip_file_get_error(file.get());
    }
    switch (zip_error_code_zip(error)) {
    case ZIP_ER_WRONGPASSWD:
        return Verdict::Refused;
    case ZIP_ER_COMPRESSED_DATA:
    case ZIP_ER_CRC:
        return Verdict::Unsure;
    default:
        throw CZipException(std::string("cannot read the archive: ") + zip_error_strerror(error));
    }
}

// A small entry is decoded in full, without a staging folder: only checked, nothing written.
Verdict Judge(zip_t* archive, std::uint64_t index, const EntryPlan& plan, EntryDecoder& decoder,
              const std::atomic<bool>& cancel) {
    if (plan.compressedSize > kFullCheckBytes)
        return FirstBytesDecode(archive, index);
    if (CheckBytesRefuse(archive, index))
        return Verdict::Refused;
    const DecodeResult result = StageEntry(archive, index, plan, nullptr, decoder, cancel).decode;
    switch (result.status) {
    case DecodeStatus::Corrupt:
        return Verdict::Unsure;
    case DecodeStatus::ReadFailed:
    case DecodeStatus::WriteFailed:
        throw CZipException("cannot read the archive: " + result.detail);
    case DecodeStatus::Sound:
    case DecodeStatus::Unsupported:
    case DecodeStatus::Cancelled:
        break;
    }
    return Verdict::Opens;
}

} // namespace

bool PasswordOpens(zip_t* archive, const EntryPlans& plans, EntryDecoder& decoder,
                   const std::atomic<bool>& cancel) {
    const std::vector<std::uint64_t> judged = SmallestEncrypted(archive, plans, kMostJudged);
    for (const std::uint64_t index : judged) {
        switch (Judge(archive, index, plans[index], decoder, cancel)) {
        case Verdict::Opens:
            return true;
        case Verdict::Refused:
            return false;
        case Verdict::Unsure:
            break;
        }
    }
    // Every entry judged failed past its check bytes: most likely a wrong password, which
    // passes a traditional entry's one check byte once in 256 tries.
    return judged.empty();
}
