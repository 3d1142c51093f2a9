#include "ziparchive/read/EntryPlan.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/read/CentralDirectory.h"
#include "ziparchive/read/EntryPath.h"

#include <limits>
#include <unordered_set>

namespace {

constexpr std::uint16_t kUtf8NameFlag = 0x0800;

void CheckAgreement(zip_t* archive, std::uint64_t index, const CentralEntry& entry) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, index, 0, &st) != 0)
        throw CZipException(std::string("the archive cannot be read: ") + zip_strerror(archive));
    const bool agree = (st.valid & ZIP_STAT_SIZE) && st.size == entry.size &&
                       (st.valid & ZIP_STAT_COMP_SIZE) && st.comp_size == entry.compressedSize &&
                       (st.valid & ZIP_STAT_CRC) && st.crc == entry.crc &&
                       (st.valid & ZIP_STAT_COMP_METHOD) && st.comp_method == entry.method;
    if (!agree)
        throw CZipException("the archive's directory reads differently to different readers");
}

std::string JoinedPath(const std::vector<std::string>& components) {
    std::string joined;
    for (const std::string& component : components) {
        joined += component;
        joined += '/';
    }
    return joined;
}

} // namespace

std::vector<EntryPlan> PlanEntries(zip_t* archive, const ArchiveLayout& layout) {
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    if (count < 0 || static_cast<std::uint64_t>(count) != layout.entries.size())
        throw CZipException("the archive's directory reads differently to different readers");
    const mode_t umask = CurrentUmask();
    // Local times below are read without looking the zone up each time.
    ::tzset();
    std::vector<EntryPlan> plans(layout.entries.size());
    std::unordered_set<std::string> files;
    std::unordered_set<std::string> directories;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const CentralEntry& entry = layout.entries[i];
        CheckAgreement(archive, i, entry);
        // Without the UTF-8 flag, libzip's guess reads any name that is not UTF-8 as CP437;
        // only names made on DOS and Windows are, the rest are raw file-system bytes.
        const bool raw = (entry.flags & kUtf8NameFlag) == 0 && !NamesInCp437(entry);
        const char* name = zip_get_name(archive, i, raw ? ZIP_FL_ENC_RAW : ZIP_FL_ENC_GUESS);
        if (!name)
            throw CZipException(std::string("the archive cannot be read: ") +
                                zip_strerror(archive));
        // A '\' separates folders only in names made where it cannot be part of a file name;
        // unzip reads them the same way.
        EntryPath path = ResolveEntryName(name, !MadeOnUnixLike(entry));
        if (path.refusal.empty() &&
            (entry.rawName.find('\0') != std::string::npos || entry.unicodeNameHasNul))
            path.refusal = "the name holds a NUL";
        EntryPlan& plan = plans[i];
        plan.kind = KindOf(entry, path.directory);
        plan.permissions = PermissionsOf(entry, plan.kind, umask);
        plan.mtime = ModificationTimeOf(entry);
        plan.method = entry.method;
        plan.crc = entry.crc;
        plan.size = entry.size;
        plan.encrypted = entry.IsEncrypted();
        plan.localHeaderSound = entry.localHeaderSound;
        plan.refusal = std::move(path.refusal);
        plan.components = std::move(path.components);
        if (!plan.refusal.empty())
            continue;
        const std::string joined = JoinedPath(plan.components);
        if (plan.kind == EntryKind::Directory) {
            if (files.count(joined))
                plan.refusal = "an earlier entry is a file of the same name";
            directories.insert(joined);
        } else {
            if (files.count(joined) || directories.count(joined))
                plan.refusal = "an earlier entry has the same name";
            files.insert(joined);
        }
    }
    return plans;
}

std::uint64_t DeclaredTotal(const std::vector<EntryPlan>& plans) {
    std::uint64_t total = 0;
    for (const EntryPlan& plan : plans) {
        if (plan.size > std::numeric_limits<std::uint64_t>::max() - total)
            return std::numeric_limits<std::uint64_t>::max();
        total += plan.size;
    }
    return total;
}
