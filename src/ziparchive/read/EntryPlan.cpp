#include "ziparchive/read/EntryPlan.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/read/CentralDirectory.h"
#include "ziparchive/read/EntryPath.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

namespace {

constexpr std::uint16_t kUtf8NameFlag = 0x0800;

[[noreturn]] void FailDisagreement() {
    throw CZipException("the archive's directory reads differently to different readers");
}

// The name libzip gives for the entry when asked for raw bytes: the Unicode path field's when its
// check value matches, else the stored one, a NUL read as a space either way.
std::string NameLibzipReads(const CentralEntry& entry) {
    std::string name =
        entry.unicodeName && entry.unicodeNameCurrent ? *entry.unicodeName : entry.rawName;
    std::replace(name.begin(), name.end(), '\0', ' ');
    return name;
}

// Whether libzip's reading of the entry is the directory parse's: the same name, sizes, CRC and
// method (for an AES-encrypted entry, the method its 0x9901 field names) and encryption.
void CheckAgreement(zip_t* archive, std::uint64_t index, const CentralEntry& entry) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &st) != 0)
        throw CZipException(std::string("the archive cannot be read: ") + zip_strerror(archive));
    const std::uint16_t method = entry.method == CentralEntry::kAesMethod && entry.aesMethod
                                     ? *entry.aesMethod
                                     : entry.method;
    const bool encrypted =
        (st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE;
    const bool agree = (st.valid & ZIP_STAT_NAME) && st.name && NameLibzipReads(entry) == st.name &&
                       (st.valid & ZIP_STAT_SIZE) && st.size == entry.size &&
                       (st.valid & ZIP_STAT_COMP_SIZE) && st.comp_size == entry.compressedSize &&
                       (st.valid & ZIP_STAT_CRC) && st.crc == entry.crc &&
                       (st.valid & ZIP_STAT_COMP_METHOD) && st.comp_method == method &&
                       encrypted == entry.IsEncrypted();
    if (!agree)
        FailDisagreement();
}

// What is left of a name when every run of bytes outside ASCII is one mark: the part every code
// page reads alike. In a double-byte code page a lead byte takes the next byte with it, which
// may be an ASCII letter or even '\'.
std::string AsciiSkeleton(const std::string& name, bool doubleByte) {
    std::string skeleton;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (byte < 0x80) {
            skeleton += name[i];
            continue;
        }
        if (skeleton.empty() || skeleton.back() != '\x80')
            skeleton += '\x80';
        if (doubleByte)
            ++i;
    }
    return skeleton;
}

// A Unicode path field is meant to give the stored name in UTF-8; readers that ignore the field
// (or its check value) show the stored name instead. Both must name the same file: the stored
// name read in some code page, so alike in every ASCII character.
void CheckUnicodeName(const CentralEntry& entry) {
    if (!entry.unicodeName || *entry.unicodeName == entry.rawName)
        return;
    const std::string unicode = AsciiSkeleton(*entry.unicodeName, false);
    if (unicode != AsciiSkeleton(entry.rawName, false) &&
        unicode != AsciiSkeleton(entry.rawName, true))
        FailDisagreement();
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
        FailDisagreement();
    // The view libzip reads ends with the comment of the end record the parse chose left out:
    // a comment means libzip took another end record.
    int commentLength = 0;
    if (zip_get_archive_comment(archive, &commentLength, ZIP_FL_ENC_RAW) && commentLength != 0)
        FailDisagreement();
    const mode_t umask = CurrentUmask();
    // Local times below are read without looking the zone up each time.
    ::tzset();
    std::vector<EntryPlan> plans(layout.entries.size());
    std::unordered_set<std::string> files;
    std::unordered_set<std::string> directories;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const CentralEntry& entry = layout.entries[i];
        CheckAgreement(archive, i, entry);
        CheckUnicodeName(entry);
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
            (entry.rawName.find('\0') != std::string::npos ||
             (entry.unicodeName && entry.unicodeName->find('\0') != std::string::npos)))
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
