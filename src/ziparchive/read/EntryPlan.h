#pragma once

#include "ziparchive/read/EntryAttributes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ArchiveLayout;

// Everything the reader decides about an entry before touching its data. It is kept small, and
// its path lives in the plans' one buffer: an archive may list millions of entries.
struct EntryPlan {
    std::uint64_t size = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t dataStart = 0; // where the entry's data begins in the archive file
    std::uint64_t pathStart = 0; // where its path begins in the plans' buffer
    timespec mtime{};
    std::uint32_t crc = 0;
    mode_t permissions = 0;
    std::uint16_t pathLength = 0;
    std::uint16_t depth = 0;  // components of the path; 0 for a folder entry naming the destination
    std::uint16_t method = 0; // as compressed, under any encryption
    std::uint16_t refusal = 0; // 0 when the entry can be extracted, else why not (EntryPlans)
    EntryKind kind = EntryKind::File;
    bool encrypted = false;
    bool localHeaderSound = false;
};

// The plans of every entry, in the archive's order.
class EntryPlans {
public:
    std::size_t size() const { return m_plans.size(); }
    bool empty() const { return m_plans.empty(); }
    const EntryPlan& operator[](std::size_t index) const { return m_plans[index]; }

    // The path below the destination, its components joined by '/' (no component holds one);
    // empty for a folder entry naming the destination.
    std::string_view Path(const EntryPlan& plan) const {
        return std::string_view(m_paths).substr(plan.pathStart, plan.pathLength);
    }
    bool Refused(const EntryPlan& plan) const { return plan.refusal != 0; }
    const std::string& Refusal(const EntryPlan& plan) const { return m_refusals[plan.refusal]; }

    // Folders extracting the entries makes: folder entries, and the folders above every entry,
    // each counted once.
    std::uint64_t Folders() const { return m_folders; }

    // What the entries take on a file system whose blocks hold blockSize bytes: each file's
    // size rounded up to whole blocks and a block for each folder and link, and an inode for
    // each. Sums saturate instead of wrapping.
    struct DiskNeed {
        std::uint64_t bytes = 0;
        std::uint64_t inodes = 0;
    };
    DiskNeed NeedOn(std::uint64_t blockSize) const;

private:
    friend EntryPlans PlanEntries(int fd, ArchiveLayout& layout);
    std::vector<EntryPlan> m_plans;
    std::string m_paths;
    std::vector<std::string> m_refusals{std::string()};
    std::uint64_t m_folders = 0;
};

// Plans every entry of the archive in fd, whose layout was read: libzip's reading of each name
// (UTF-8, CP437 converted for names made on DOS and Windows, else the raw bytes), checked against
// the raw bytes for a NUL libzip would hide; the kind, permissions and time; and a refusal for a
// file or link whose path an earlier entry already took. Throws CZipException when libzip and
// the directory parse disagree about the archive (the end record taken, or any entry's name,
// sizes, CRC, method or encryption) and when a Unicode path field names another file than the
// stored name: two readers seeing different content is how archives smuggle files past checks.
//
// The plans carry everything needed afterwards, so the layout's entries are let go. libzip's
// handle, which holds the whole directory as well, is open only while the names are read, and
// the entries are not held beside it: for a million entries each takes hundreds of megabytes.
EntryPlans PlanEntries(int fd, ArchiveLayout& layout);

// The folder part of a path, and its last component.
std::string_view ParentOf(std::string_view path);
std::string_view LeafOf(std::string_view path);
