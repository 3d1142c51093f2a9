#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

// One entry as the archive's central directory describes it, with what its local header adds.
// An archive may list millions of entries, and the layout holds them all at once: the names are
// not kept here but handed out as ForEachCentralRecord reads them again.
struct CentralEntry {
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t localHeader = 0; // position in the file
    // Filled from the local header: where the data begins (a position in the file).
    std::uint64_t dataStart = 0;
    // The modification time the local header's extra fields give (extended timestamp, else the
    // old Unix field). Extractors read these from the local header only; a time in the central
    // directory alone is ignored, as they ignore it.
    std::optional<std::int64_t> extendedMtime;
    std::uint32_t crc = 0;
    std::uint32_t externalAttributes = 0;
    std::uint16_t versionMadeBy = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    // The method an AES-encrypted entry (method 99) was compressed with, from its 0x9901 field.
    std::optional<std::uint16_t> aesMethod;
    // Whether the Unicode path field's check value matches the stored name (readers that honour
    // the field use it only then).
    bool unicodeNameCurrent = false;
    // Filled from the local header: whether it is where the directory says.
    bool localHeaderSound = false;

    // Method 99 is AES encryption whatever the flags say; readers treat it so.
    bool IsEncrypted() const { return (flags & 0x0001) != 0 || method == kAesMethod; }
    static constexpr std::uint16_t kAesMethod = 99;
};

// The names a central directory record stores, pointing into the bytes just read: its own (an
// embedded NUL kept) and the one its Unicode path field (0x7075) gives, if any.
struct CentralNames {
    std::string_view stored;
    std::optional<std::string_view> unicode;
};

// Where the archive lies in its file and what its directory lists. `base` is where the archive's
// own offset 0 lies: above zero when something was put in front of an archive without its
// offsets being adjusted.
struct ArchiveLayout {
    std::uint64_t fileSize = 0;
    std::uint64_t base = 0;
    std::uint64_t directoryStart = 0;
    std::uint64_t directoryEnd = 0;
    std::uint64_t endRecord = 0;  // the end-of-central-directory record, 22 bytes
    std::uint64_t entryCount = 0; // as the directory lists them; kept when `entries` is let go
    std::vector<CentralEntry> entries;
};

// Parses the end record, the ZIP64 records and the central directory of the archive in fd, and
// reads each entry's local header. Throws CZipException for anything that is not a readable
// archive, for an entry count the directory cannot hold, when any two entries' byte ranges
// (local header to end of data) overlap each other or the directory (overlapping entries are how
// small archives expand to huge outputs), and when the file holds a second directory that some
// reader could take for the archive's: end records pointing to different directories, or ZIP64
// and plain end records that disagree. Readers that scan from the end and readers that scan
// forward would each show different files.
ArchiveLayout ReadArchiveLayout(int fd);

// Reads the layout's central directory again, one record at a time through a small window, and
// calls visit(index, entry, names) for each: the entry with its directory fields only (nothing
// from its local header), the names valid during the call. Throws CZipException when the
// records no longer read as they did.
void ForEachCentralRecord(
    int fd, const ArchiveLayout& layout,
    const std::function<void(std::size_t, const CentralEntry&, const CentralNames&)>& visit);

// The most entries an archive may list; more is taken as an attack, not an archive.
constexpr std::uint64_t kMaxEntries = 4'000'000;
