#include "ziparchive/read/AesCheck.h"

#include "ziparchive/ZipHandles.h"
#include "ziparchive/read/EntryPlan.h"

#include <vector>

namespace {

// Below this size libzip itself leaves the CRC field of an AE-2 entry alone.
constexpr std::uint64_t kLibzipTrustsBelow = 20;

} // namespace

bool CrcFieldUnused(zip_t* archive, std::uint64_t index, const EntryPlan& plan) {
    if (!plan.encrypted || plan.crc != 0 || plan.size < kLibzipTrustsBelow)
        return false;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, index, 0, &st) != 0 || !(st.valid & ZIP_STAT_ENCRYPTION_METHOD))
        return false;
    return st.encryption_method == ZIP_EM_AES_128 || st.encryption_method == ZIP_EM_AES_192 ||
           st.encryption_method == ZIP_EM_AES_256;
}

DecodeResult CheckAuthentication(zip_t* archive, std::uint64_t index, const EntryPlan& plan) {
    if (plan.method == ZIP_CM_STORE)
        return {};
    ZipFile file(zip_fopen_index(archive, index, ZIP_FL_COMPRESSED));
    if (!file)
        return {DecodeStatus::Corrupt, 0, zip_strerror(archive)};
    std::vector<char> buffer(256 * 1024);
    zip_int64_t got = 0;
    while ((got = zip_fread(file.get(), buffer.data(), buffer.size())) > 0) {
    }
    if (got < 0)
        return {DecodeStatus::Corrupt, 0, "the entry's authentication code does not match"};
    return {};
}
