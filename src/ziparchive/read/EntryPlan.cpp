#include "ziparchive/read/EntryPlan.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/FreedMemory.h"
#include "ziparchive/read/ArchiveView.h"
#include "ziparchive/read/CentralDirectory.h"
#include "ziparchive/read/EntryPath.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string_view>

namespace {

constexpr std::uint16_t kUtf8NameFlag = 0x0800;

[[noreturn]] void FailDisagreement() {
    throw CZipException("the archive's directory reads differently to different readers");
}

// The name libzip gives for the entry when asked for raw bytes: the Unicode path field's when its
// check value matches, else the stored one, a NUL read as a space either way.
std::string NameLibzipReads(const CentralEntry& entry, const CentralNames& names) {
    std::string name(entry.unicodeNameCurrent && names.unicode ? *names.unicode : names.stored);
    std::replace(name.begin(), name.end(), '\0', ' ');
    return name;
}

// The entry's compression method: for an AES-encrypted entry, the one its 0x9901 field names.
std::uint16_t MethodOf(const CentralEntry& entry) {
    return entry.method == CentralEntry::kAesMethod && entry.aesMethod ? *entry.aesMethod
                                                                       : entry.method;
}

// Whether libzip's reading of the entry is the directory parse's: the same name, sizes, CRC and
// method (for an AES-encrypted entry, the method its 0x9901 field names) and encryption.
void CheckAgreement(zip_t* archive, std::uint64_t index, const CentralEntry& entry,
                    const CentralNames& names) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &st) != 0)
        throw CZipException(std::string("the archive cannot be read: ") + zip_strerror(archive));
    const std::uint16_t method = MethodOf(entry);
    const bool encrypted =
        (st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE;
    // libzip gives no CRC for a small AES entry of the form whose CRC field is unused (0).
    const bool crcAgrees = (st.valid & ZIP_STAT_CRC)
                               ? st.crc == entry.crc
                               : entry.method == CentralEntry::kAesMethod && entry.crc == 0;
    const bool agree =
        (st.valid & ZIP_STAT_NAME) && st.name && NameLibzipReads(entry, names) == st.name &&
        (st.valid & ZIP_STAT_SIZE) && st.size == entry.size && (st.valid & ZIP_STAT_COMP_SIZE) &&
        st.comp_size == entry.compressedSize && crcAgrees && (st.valid & ZIP_STAT_COMP_METHOD) &&
        st.comp_method == method && encrypted == entry.IsEncrypted();
    if (!agree)
        FailDisagreement();
}

// What is left of a name when every run of bytes outside ASCII is one mark: the part every code
// page reads alike. In a double-byte code page a lead byte takes the next byte with it, which
// may be an ASCII letter or even '\'.
std::string AsciiSkeleton(std::string_view name, bool doubleByte) {
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
void CheckUnicodeName(const CentralNames& names) {
    if (!names.unicode || *names.unicode == names.stored)
        return;
    const std::string unicode = AsciiSkeleton(*names.unicode, false);
    if (unicode != AsciiSkeleton(names.stored, false) &&
        unicode != AsciiSkeleton(names.stored, true))
        FailDisagreement();
}

// What an entry's local header said, kept while libzip holds the directory.
struct LocalFacts {
    std::uint64_t dataStart = 0;
    std::optional<std::int64_t> extendedMtime;
    bool localHeaderSound = false;
};

// What libzip's name resolved to. The path's components are in the plans' buffer already, one
// entry after the other.
struct ResolvedName {
    std::uint16_t pathLength = 0;
    std::uint16_t depth = 0;
    std::uint16_t refusal = 0;
    bool directory = false;
};

std::uint16_t RefusalIndex(std::vector<std::string>& refusals, std::string_view why) {
    auto known = std::find(refusals.begin(), refusals.end(), why);
    if (known == refusals.end())
        known = refusals.insert(known, std::string(why));
    return static_cast<std::uint16_t>(known - refusals.begin());
}

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

} // namespace

std::string_view ParentOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

std::string_view LeafOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

EntryPlans PlanEntries(int fd, ArchiveLayout& layout) {
    const std::size_t count = layout.entries.size();
    std::vector<LocalFacts> facts(count);
    for (std::size_t i = 0; i < count; ++i) {
        const CentralEntry& entry = layout.entries[i];
        facts[i] = {entry.dataStart, entry.extendedMtime, entry.localHeaderSound};
    }
    // Swapped out, not assigned empty: that would keep the capacity.
    std::vector<CentralEntry>().swap(layout.entries);

    EntryPlans plans;
    std::vector<ResolvedName> resolved(count);
    {
        const ZipHandle archive = OpenArchiveView(fd, layout);
        const zip_int64_t listed = zip_get_num_entries(archive.get(), 0);
        if (listed < 0 || static_cast<std::uint64_t>(listed) != count)
            FailDisagreement();
        // The view libzip reads ends with the comment of the end record the parse chose left
        // out: a comment means libzip took another end record.
        int commentLength = 0;
        if (zip_get_archive_comment(archive.get(), &commentLength, ZIP_FL_ENC_RAW) &&
            commentLength != 0)
            FailDisagreement();
        ForEachCentralRecord(
            fd, layout, [&](std::size_t i, const CentralEntry& entry, const CentralNames& names) {
                CheckAgreement(archive.get(), i, entry, names);
                CheckUnicodeName(names);
                // Without the UTF-8 flag, libzip's guess reads any name that is not UTF-8 as CP437;
                // only names made on DOS and Windows are, the rest are raw file-system bytes.
                const bool raw = (entry.flags & kUtf8NameFlag) == 0 && !NamesInCp437(entry);
                const char* name =
                    zip_get_name(archive.get(), i, raw ? ZIP_FL_ENC_RAW : ZIP_FL_ENC_GUESS);
                if (!name)
                    throw CZipException(std::string("the archive cannot be read: ") +
                                        zip_strerror(archive.get()));
                // A '\' separates folders only in names made where it cannot be part of a file
                // name; unzip reads them the same way.
                EntryPath path = ResolveEntryName(name, !MadeOnUnixLike(entry));
                if (path.refusal.empty() &&
                    (names.stored.find('\0') != std::string_view::npos ||
                     (names.unicode && names.unicode->find('\0') != std::string_view::npos)))
                    path.refusal = "the name holds a NUL";
                ResolvedName& outcome = resolved[i];
                outcome.directory = path.directory;
                if (!path.refusal.empty()) {
                    outcome.refusal = RefusalIndex(plans.m_refusals, path.refusal);
                    return;
                }
                // A resolved name is at most PATH_MAX bytes, so its length and depth fit 16 bits.
                const std::size_t pathStart = plans.m_paths.size();
                for (const std::string& component : path.components) {
                    if (plans.m_paths.size() > pathStart)
                        plans.m_paths += '/';
                    plans.m_paths += component;
                }
                outcome.pathLength = static_cast<std::uint16_t>(plans.m_paths.size() - pathStart);
                outcome.depth = static_cast<std::uint16_t>(path.components.size());
            });
    }
    ReturnFreedMemory();

    const mode_t umask = CurrentUmask();
    // Local times below are read without looking the zone up each time.
    ::tzset();
    plans.m_plans.resize(count);
    std::uint64_t pathStart = 0;
    ForEachCentralRecord(
        fd, layout, [&](std::size_t i, const CentralEntry& directoryEntry, const CentralNames&) {
            CentralEntry entry = directoryEntry;
            entry.dataStart = facts[i].dataStart;
            entry.extendedMtime = facts[i].extendedMtime;
            entry.localHeaderSound = facts[i].localHeaderSound;
            const ResolvedName& outcome = resolved[i];
            EntryPlan& plan = plans.m_plans[i];
            plan.kind = KindOf(entry, outcome.directory);
            plan.permissions = PermissionsOf(entry, plan.kind, umask);
            plan.mtime = ModificationTimeOf(entry);
            plan.method = MethodOf(entry);
            plan.crc = entry.crc;
            plan.size = entry.size;
            plan.compressedSize = entry.compressedSize;
            plan.dataStart = entry.dataStart;
            plan.encrypted = entry.IsEncrypted();
            plan.localHeaderSound = entry.localHeaderSound;
            plan.refusal = outcome.refusal;
            plan.pathStart = pathStart;
            plan.pathLength = outcome.pathLength;
            plan.depth = outcome.depth;
            pathStart += outcome.pathLength;
        });
    std::vector<LocalFacts>().swap(facts);
    std::vector<ResolvedName>().swap(resolved);
    plans.m_paths.shrink_to_fit();

    // Entries naming the same path, in archive order: a file or link after anything of that name
    // is refused, and so is a folder after a file. Sorting views of the paths does it without a
    // set of strings per entry.
    struct Named {
        std::string_view path;
        std::uint32_t index;
    };
    std::vector<Named> named;
    named.reserve(plans.m_plans.size());
    for (std::size_t i = 0; i < plans.m_plans.size(); ++i) {
        if (plans.m_plans[i].refusal == 0)
            named.push_back({plans.Path(plans.m_plans[i]), static_cast<std::uint32_t>(i)});
    }
    std::sort(named.begin(), named.end(), [](const Named& a, const Named& b) {
        return a.path != b.path ? a.path < b.path : a.index < b.index;
    });
    const auto refuse = [&](EntryPlan& plan, const char* why) {
        plan.refusal = RefusalIndex(plans.m_refusals, why);
    };
    for (std::size_t first = 0; first < named.size();) {
        std::size_t last = first;
        bool fileSeen = false;
        bool folderSeen = false;
        for (; last < named.size() && named[last].path == named[first].path; ++last) {
            EntryPlan& plan = plans.m_plans[named[last].index];
            if (plan.kind == EntryKind::Directory) {
                if (fileSeen)
                    refuse(plan, "an earlier entry is a file of the same name");
                folderSeen = true;
            } else {
                if (fileSeen || folderSeen)
                    refuse(plan, "an earlier entry has the same name");
                fileSeen = true;
            }
        }
        first = last;
    }

    // The folders the entries make: folder entries and every entry's parents, once each.
    std::vector<std::string_view> folders;
    for (const Named& entry : named) {
        const EntryPlan& plan = plans.m_plans[entry.index];
        if (plan.refusal != 0)
            continue;
        std::string_view path = entry.path;
        if (plan.kind == EntryKind::Directory && !path.empty())
            folders.push_back(path);
        for (path = ParentOf(path); !path.empty(); path = ParentOf(path))
            folders.push_back(path);
    }
    std::sort(folders.begin(), folders.end());
    plans.m_folders =
        static_cast<std::uint64_t>(std::unique(folders.begin(), folders.end()) - folders.begin());
    return plans;
}

EntryPlans::DiskNeed EntryPlans::NeedOn(std::uint64_t blockSize) const {
    blockSize = std::max<std::uint64_t>(blockSize, 1);
    DiskNeed need;
    std::uint64_t blocks = m_folders;
    need.inodes = m_folders;
    for (const EntryPlan& plan : m_plans) {
        if (plan.refusal != 0 || plan.depth == 0 || plan.kind == EntryKind::Directory)
            continue;
        need.inodes += 1;
        blocks = SaturatingAdd(blocks, plan.kind == EntryKind::Link
                                           ? 1
                                           : plan.size / blockSize + (plan.size % blockSize != 0));
    }
    need.bytes = blocks > std::numeric_limits<std::uint64_t>::max() / blockSize
                     ? std::numeric_limits<std::uint64_t>::max()
                     : blocks * blockSize;
    return need;
}
