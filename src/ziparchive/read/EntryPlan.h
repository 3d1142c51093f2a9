#pragma once

#include "ziparchive/read/EntryAttributes.h"

#include <zip.h>

#include <cstdint>
#include <string>
#include <vector>

struct ArchiveLayout;

// Everything the reader decides about an entry before touching its data.
struct EntryPlan {
    EntryKind kind = EntryKind::File;
    std::vector<std::string> components; // the path below the destination
    std::string refusal;                 // why the entry cannot be extracted; empty if it can
    mode_t permissions = 0;
    timespec mtime{};
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    bool encrypted = false;
    bool localHeaderSound = false;
};

// Plans every entry of the archive: libzip's reading of each name (UTF-8, CP437 converted for
// names made on DOS and Windows, else the raw bytes), checked against the raw bytes for a NUL
// libzip would hide; the kind, permissions and time; and a refusal for a file or link whose path
// an earlier entry already took. Throws CZipException when libzip and the directory parse
// disagree about the archive (the end record taken, or any entry's name, sizes, CRC, method or
// encryption) and when a Unicode path field names another file than the stored name: two
// readers seeing different content is how archives
// smuggle files past checks.
std::vector<EntryPlan> PlanEntries(zip_t* archive, const ArchiveLayout& layout);

// The sum of the entries' declared sizes, saturating instead of wrapping.
std::uint64_t DeclaredTotal(const std::vector<EntryPlan>& plans);
