#include "ziparchive/read/CentralDirectory.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/fs/FileBytes.h"
#include "ziparchive/read/LittleEndian.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kZip64EndRecordSignature = 0x06064b50;
constexpr std::uint32_t kCentralHeaderSignature = 0x02014b50;
constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;
constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kZip64EndRecordSize = 56;
constexpr std::size_t kCentralHeaderSize = 46;
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kLongestComment = 0xffff;

[[noreturn]] void Fail(const std::string& why) {
    throw CZipException("the archive cannot be read: " + why);
}

// What the end records say about the central directory.
struct DirectoryPointer {
    std::uint64_t entries = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0; // as stored: relative to the archive's offset 0
    std::uint64_t limit = 0;  // the directory ends at or before this position in the file
    std::uint64_t base = 0;
    std::uint64_t endRecord = 0;
};

bool HasSignature(int fd, std::uint64_t position, std::uint32_t signature) {
    unsigned char bytes[4];
    return ReadAt(fd, position, bytes, 4) == 4 && ReadLe32(bytes) == signature;
}

// Whether the directory the pointer describes lies in the file when the archive's offset 0 is at
// `base`: before the end records, and starting with a directory header unless it is empty.
bool DirectoryAt(int fd, const DirectoryPointer& pointer, std::uint64_t base) {
    const std::uint64_t start = base + pointer.offset;
    if (start < base || start > pointer.limit || pointer.size > pointer.limit - start)
        return false;
    return pointer.entries == 0 || HasSignature(fd, start, kCentralHeaderSignature);
}

// Where the archive's offset 0 would be if something had been put in front of it: the
// directory ends where the end records begin.
std::optional<std::uint64_t> ShiftedBase(const DirectoryPointer& pointer) {
    if (pointer.limit >= pointer.size && pointer.limit - pointer.size >= pointer.offset) {
        const std::uint64_t base = pointer.limit - pointer.size - pointer.offset;
        if (base > 0)
            return base;
    }
    return std::nullopt;
}

// Finds the archive's offset 0: stored offsets are either positions in the file, or positions
// after something put in front of the archive, which the directory's distance from the end
// records reveals.
bool LocateBase(int fd, DirectoryPointer& pointer) {
    if (DirectoryAt(fd, pointer, 0)) {
        pointer.base = 0;
        return true;
    }
    const std::optional<std::uint64_t> base = ShiftedBase(pointer);
    if (base && DirectoryAt(fd, pointer, *base)) {
        pointer.base = *base;
        return true;
    }
    return false;
}

// Reads the ZIP64 end record the locator before the end record at `endRecord` points to. The
// base is left to LocateBase, from where the record was found.
bool ReadZip64Pointer(int fd, std::uint64_t endRecord, DirectoryPointer& pointer) {
    if (endRecord < kZip64LocatorSize)
        return false;
    unsigned char locator[kZip64LocatorSize];
    if (ReadAt(fd, endRecord - kZip64LocatorSize, locator, sizeof locator) != sizeof locator ||
        ReadLe32(locator) != kZip64LocatorSignature)
        return false;
    if (ReadLe32(locator + 4) != 0 || ReadLe32(locator + 16) > 1)
        return false; // split over several files
    const std::uint64_t storedOffset = ReadLe64(locator + 8);
    // The record is where the locator says, or just before the locator when something was put
    // in front of the archive.
    const std::uint64_t locatorStart = endRecord - kZip64LocatorSize;
    std::uint64_t recordAt = storedOffset;
    if (!(recordAt < locatorStart && HasSignature(fd, recordAt, kZip64EndRecordSignature))) {
        if (locatorStart < kZip64EndRecordSize)
            return false;
        recordAt = locatorStart - kZip64EndRecordSize;
        if (!HasSignature(fd, recordAt, kZip64EndRecordSignature))
            return false;
    }
    unsigned char record[kZip64EndRecordSize];
    if (ReadAt(fd, recordAt, record, sizeof record) != sizeof record)
        return false;
    if (ReadLe32(record + 16) != 0 || ReadLe32(record + 20) != 0 ||
        ReadLe64(record + 24) != ReadLe64(record + 32))
        return false; // split over several files
    pointer.entries = ReadLe64(record + 32);
    pointer.size = ReadLe64(record + 40);
    pointer.offset = ReadLe64(record + 48);
    pointer.limit = recordAt;
    return true;
}

// Reads the fields of the end record at `at`, and those of the ZIP64 end record when a locator
// precedes it; false when they cannot describe a directory of a single-file archive. Without a
// ZIP64 locator the record's own fields count, even at their maximum: 65,535 entries fit them
// exactly. With one, every field of the plain record that is not at its maximum must say what
// the ZIP64 record says: otherwise the two point to different directories, and readers that
// trust different records see different archives.
bool ReadRecords(int fd, std::uint64_t at, DirectoryPointer& pointer) {
    unsigned char record[kEndRecordSize];
    if (ReadAt(fd, at, record, sizeof record) != sizeof record)
        return false;
    const std::uint16_t disk = ReadLe16(record + 4);
    const std::uint16_t directoryDisk = ReadLe16(record + 6);
    const std::uint16_t entriesHere = ReadLe16(record + 8);
    pointer.entries = ReadLe16(record + 10);
    pointer.size = ReadLe32(record + 12);
    pointer.offset = ReadLe32(record + 16);
    pointer.limit = at;
    pointer.endRecord = at;
    DirectoryPointer zip64 = pointer;
    if (ReadZip64Pointer(fd, at, zip64)) {
        const bool agree = (pointer.entries == 0xffff || pointer.entries == zip64.entries) &&
                           (pointer.size == 0xffffffff || pointer.size == zip64.size) &&
                           (pointer.offset == 0xffffffff || pointer.offset == zip64.offset);
        if (!agree)
            Fail("its two end records point to different directories");
        pointer = zip64;
        return true;
    }
    return disk == 0 && directoryDisk == 0 && entriesHere == pointer.entries;
}

// Reads the end record at `at` and what it points to; false when it does not lead to a central
// directory (a stray signature in trailing data or in a comment).
bool ReadPointer(int fd, std::uint64_t at, DirectoryPointer& pointer) {
    return ReadRecords(fd, at, pointer) && LocateBase(fd, pointer);
}

// Scans back from the end of the file for the last end record that leads to a directory, as
// extractors do; trailing junk and a comment cut short are passed over.
DirectoryPointer FindDirectory(int fd, std::uint64_t fileSize) {
    const std::size_t tailLength = static_cast<std::size_t>(
        std::min<std::uint64_t>(fileSize, kLongestComment + kEndRecordSize + 4096));
    const std::uint64_t tailStart = fileSize - tailLength;
    const std::vector<unsigned char> tail = ReadBlock(fd, tailStart, tailLength);
    for (std::size_t i = tail.size() >= 4 ? tail.size() - 4 + 1 : 0; i-- > 0;) {
        if (ReadLe32(&tail[i]) != kEndRecordSignature)
            continue;
        DirectoryPointer pointer;
        if (ReadPointer(fd, tailStart + i, pointer))
            return pointer;
    }
    Fail("it is not a zip archive, or one split over several files");
}

// Reads the fields the ZIP64 extended-information field replaces, in their fixed order.
void ApplyZip64Field(const unsigned char* data, std::size_t length, CentralEntry& entry,
                     bool sizeFull, bool compressedFull, bool offsetFull) {
    std::size_t at = 0;
    auto next = [&](std::uint64_t& value) {
        if (at + 8 > length)
            Fail("a ZIP64 field is too short");
        value = ReadLe64(data + at);
        at += 8;
    };
    if (sizeFull)
        next(entry.size);
    if (compressedFull)
        next(entry.compressedSize);
    if (offsetFull)
        next(entry.localHeader);
}

// Calls visit(id, data, length) for each field of an extra block, stopping at a field that
// runs past the block's end.
template <typename Visit>
void ForEachExtraField(const unsigned char* data, std::size_t length, Visit visit) {
    std::size_t at = 0;
    while (at + 4 <= length) {
        const std::uint16_t id = ReadLe16(data + at);
        const std::uint16_t size = ReadLe16(data + at + 2);
        if (at + 4 + size > length)
            return;
        visit(id, data + at + 4, std::size_t{size});
        at += 4 + std::size_t{size};
    }
}

// The modification time from a local header's extra block: the extended-timestamp field's, else
// the old Unix field's (atime, then mtime).
std::optional<std::int64_t> ReadLocalMtime(const unsigned char* extra, std::size_t length) {
    std::optional<std::int64_t> extended;
    std::optional<std::int64_t> oldUnix;
    ForEachExtraField(extra, length,
                      [&](std::uint16_t id, const unsigned char* data, std::size_t size) {
                          if (id == 0x5455 && size >= 5 && (data[0] & 1) != 0)
                              extended = static_cast<std::int32_t>(ReadLe32(data + 1));
                          else if (id == 0x5855 && size >= 8)
                              oldUnix = static_cast<std::int32_t>(ReadLe32(data + 4));
                      });
    return extended ? extended : oldUnix;
}

std::uint32_t NameChecksum(std::string_view name) {
    return static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(name.data()), static_cast<uInt>(name.size())));
}

// Parses one whole central directory record, which the caller has checked is there.
void ParseRecord(const unsigned char* header, std::uint64_t base, CentralEntry& entry,
                 CentralNames& names) {
    const std::size_t nameLength = ReadLe16(header + 28);
    const std::size_t extraLength = ReadLe16(header + 30);
    entry.versionMadeBy = ReadLe16(header + 4);
    entry.flags = ReadLe16(header + 8);
    entry.method = ReadLe16(header + 10);
    entry.dosTime = ReadLe16(header + 12);
    entry.dosDate = ReadLe16(header + 14);
    entry.crc = ReadLe32(header + 16);
    entry.compressedSize = ReadLe32(header + 20);
    entry.size = ReadLe32(header + 24);
    entry.externalAttributes = ReadLe32(header + 38);
    entry.localHeader = ReadLe32(header + 42);
    names.stored =
        std::string_view(reinterpret_cast<const char*>(header + kCentralHeaderSize), nameLength);
    const bool sizeFull = entry.size == 0xffffffff;
    const bool compressedFull = entry.compressedSize == 0xffffffff;
    const bool offsetFull = entry.localHeader == 0xffffffff;
    bool zip64Seen = false;
    ForEachExtraField(
        header + kCentralHeaderSize + nameLength, extraLength,
        [&](std::uint16_t id, const unsigned char* data, std::size_t length) {
            if (id == 0x0001 && !zip64Seen) {
                zip64Seen = true;
                ApplyZip64Field(data, length, entry, sizeFull, compressedFull, offsetFull);
            } else if (id == 0x7075 && length > 5 && data[0] == 1 && !names.unicode) {
                names.unicode.emplace(reinterpret_cast<const char*>(data + 5), length - 5);
                entry.unicodeNameCurrent = ReadLe32(data + 1) == NameChecksum(names.stored);
            } else if (id == 0x9901 && length >= 7 && !entry.aesMethod) {
                entry.aesMethod = ReadLe16(data + 5);
            }
        });
    if ((sizeFull || compressedFull || offsetFull) && !zip64Seen)
        Fail("an entry lacks its ZIP64 field");
    if (entry.localHeader > ~std::uint64_t{0} - base)
        Fail("an entry's offset is out of range");
    entry.localHeader += base;
}

// Calls visit(index, entry, names) for each of the `count` records of the directory of `size`
// bytes at `start`, read through a window: a directory of millions of entries is never held
// whole.
template <typename Visit>
void WalkRecords(int fd, std::uint64_t fileSize, std::uint64_t start, std::uint64_t size,
                 std::uint64_t count, std::uint64_t base, Visit visit) {
    WindowedReader reader(fd, fileSize);
    std::uint64_t at = 0;
    for (std::uint64_t index = 0; index < count; ++index) {
        const unsigned char* header =
            size - at < kCentralHeaderSize ? nullptr : reader.Bytes(start + at, kCentralHeaderSize);
        if (!header)
            Fail("its directory is cut short");
        if (ReadLe32(header) != kCentralHeaderSignature)
            Fail("its directory is damaged");
        const std::size_t recordLength = kCentralHeaderSize + ReadLe16(header + 28) +
                                         ReadLe16(header + 30) + ReadLe16(header + 32);
        const unsigned char* record =
            size - at < recordLength ? nullptr : reader.Bytes(start + at, recordLength);
        if (!record)
            Fail("its directory is cut short");
        CentralEntry entry;
        CentralNames names;
        ParseRecord(record, base, entry, names);
        visit(static_cast<std::size_t>(index), entry, names);
        at += recordLength;
    }
}

std::vector<CentralEntry> ReadEntries(int fd, std::uint64_t fileSize,
                                      const DirectoryPointer& pointer,
                                      std::uint64_t directoryStart) {
    if (pointer.entries > kMaxEntries)
        Fail("it lists more entries than any archive holds");
    if (pointer.entries * kCentralHeaderSize > pointer.size)
        Fail("it lists more entries than its directory can hold");
    std::vector<CentralEntry> entries(static_cast<std::size_t>(pointer.entries));
    WalkRecords(fd, fileSize, directoryStart, pointer.size, pointer.entries, pointer.base,
                [&](std::size_t index, const CentralEntry& entry, const CentralNames&) {
                    entries[index] = entry;
                });
    return entries;
}

// Reads each local header, and refuses the archive when the entries' byte ranges overlap.
void ReadLocalHeaders(int fd, ArchiveLayout& layout) {
    struct Range {
        std::uint64_t start;
        std::uint64_t end;
    };
    std::vector<Range> ranges;
    ranges.reserve(layout.entries.size() + 1);
    ranges.push_back({layout.directoryStart, layout.directoryEnd});
    WindowedReader reader(fd, layout.fileSize);
    for (CentralEntry& entry : layout.entries) {
        const unsigned char* header = reader.Bytes(entry.localHeader, kLocalHeaderSize);
        if (!header || ReadLe32(header) != kLocalHeaderSignature) {
            // Reading this entry will fail; it still claims its header's bytes.
            if (header)
                ranges.push_back({entry.localHeader, entry.localHeader + kLocalHeaderSize});
            continue;
        }
        const std::size_t nameLength = ReadLe16(header + 26);
        const std::size_t extraLength = ReadLe16(header + 28);
        const std::uint64_t dataStart =
            entry.localHeader + kLocalHeaderSize + nameLength + extraLength;
        if (dataStart > layout.fileSize || entry.compressedSize > layout.fileSize - dataStart) {
            ranges.push_back({entry.localHeader, std::min(dataStart, layout.fileSize)});
            continue;
        }
        if (const unsigned char* extra =
                reader.Bytes(entry.localHeader + kLocalHeaderSize + nameLength, extraLength))
            entry.extendedMtime = ReadLocalMtime(extra, extraLength);
        entry.localHeaderSound = true;
        entry.dataStart = dataStart;
        ranges.push_back({entry.localHeader, dataStart + entry.compressedSize});
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const Range& a, const Range& b) { return a.start < b.start; });
    for (std::size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].start < ranges[i - 1].end)
            Fail("its entries overlap, as in archives built to expand without end");
    }
}

bool InsideEntryData(const ArchiveLayout& layout, std::uint64_t position) {
    return std::any_of(layout.entries.begin(), layout.entries.end(), [&](const CentralEntry& e) {
        return e.localHeaderSound && position >= e.dataStart &&
               position - e.dataStart < e.compressedSize;
    });
}

// Refuses the archive when another end record before the chosen one leads to a directory of its
// own with entries in it. Readers that scan back from the end take the last end record; libzip
// scans forward through the same stretch and takes the first that reads (our view of the file
// shows it everything up to the chosen record, from the archive's offset 0). An end record
// inside an entry's data is an archive stored in this one, harmless unless libzip could take it.
void RefuseRivalEndRecords(int fd, const ArchiveLayout& layout) {
    const std::uint64_t reach = kLongestComment + kEndRecordSize + 4096;
    const std::uint64_t end = layout.endRecord;
    const std::uint64_t start = end + kEndRecordSize > reach ? end + kEndRecordSize - reach : 0;
    const std::vector<unsigned char> stretch =
        ReadBlock(fd, start, static_cast<std::size_t>(end - start + 3));
    const std::uint64_t entries = layout.entries.size();
    const std::uint64_t size = layout.directoryEnd - layout.directoryStart;
    for (std::size_t i = 0; i + 4 <= stretch.size() && start + i < end; ++i) {
        if (ReadLe32(&stretch[i]) != kEndRecordSignature)
            continue;
        const std::uint64_t at = start + i;
        DirectoryPointer pointer;
        if (!ReadRecords(fd, at, pointer) || pointer.entries == 0)
            continue;
        const auto differs = [&](std::uint64_t base) {
            return base + pointer.offset != layout.directoryStart || pointer.size != size ||
                   pointer.entries != entries;
        };
        const bool libzipMayTakeIt =
            at >= layout.base && DirectoryAt(fd, pointer, layout.base) && differs(layout.base);
        const std::optional<std::uint64_t> shifted = ShiftedBase(pointer);
        const bool endReadersMayTakeIt =
            (DirectoryAt(fd, pointer, 0) && differs(0)) ||
            (shifted && DirectoryAt(fd, pointer, *shifted) && differs(*shifted));
        if (libzipMayTakeIt || (endReadersMayTakeIt && !InsideEntryData(layout, at)))
            Fail("it holds a second directory that other readers may take for its own");
    }
}

} // namespace

ArchiveLayout ReadArchiveLayout(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        Fail("it is not a regular file");
    ArchiveLayout layout;
    layout.fileSize = static_cast<std::uint64_t>(info.st_size);
    const DirectoryPointer pointer = FindDirectory(fd, layout.fileSize);
    layout.base = pointer.base;
    layout.directoryStart = pointer.base + pointer.offset;
    layout.directoryEnd = layout.directoryStart + pointer.size;
    layout.endRecord = pointer.endRecord;
    layout.entries = ReadEntries(fd, layout.fileSize, pointer, layout.directoryStart);
    layout.entryCount = layout.entries.size();
    ReadLocalHeaders(fd, layout);
    RefuseRivalEndRecords(fd, layout);
    return layout;
}

void ForEachCentralRecord(
    int fd, const ArchiveLayout& layout,
    const std::function<void(std::size_t, const CentralEntry&, const CentralNames&)>& visit) {
    WalkRecords(fd, layout.fileSize, layout.directoryStart,
                layout.directoryEnd - layout.directoryStart, layout.entryCount, layout.base, visit);
}
