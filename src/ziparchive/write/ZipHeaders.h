#pragma once

#include <cstdint>
#include <ctime>
#include <string_view>
#include <vector>

// The largest value the 32-bit size and offset fields hold; it also means "in the ZIP64 field".
inline constexpr std::uint64_t Max32 = 0xFFFFFFFFu;

// What a header says of an entry: every entry is BZIP2, made on Unix, with the extended
// timestamp when its time fits in one.
struct EntryHeader {
    std::string_view name;
    bool utf8Name = false;
    std::uint32_t dosDateTime = 0; // DosDateTime
    std::time_t modified = 0;      // for the extended timestamp
    std::uint32_t crc32 = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    // The central directory's alone:
    std::uint64_t offset = 0; // of the local header
    std::uint16_t mode = 0;   // permission bits
};

// The local header, into out (replacing what it held). With zip64 it carries a ZIP64 field with
// both sizes, whatever they are: a header written before the data, when the sizes may yet pass
// 32 bits, has the room for them. Its length does not depend on the sizes or the CRC, so it is
// written again over itself once they are known.
void EncodeLocalHeader(const EntryHeader& entry, bool zip64, std::vector<std::uint8_t>& out);

// The local header of a non-ZIP64 entry cannot tell these sizes.
bool NeedsZip64Local(std::uint64_t size, std::uint64_t compressedSize);

// The entry's record in the central directory, appended to out. Returns whether it needed a
// ZIP64 field (a size or the offset is Max32 or more).
bool AppendCentralHeader(const EntryHeader& entry, std::vector<std::uint8_t>& out);

// The end of the archive, appended to out: the ZIP64 end record and its locator when
// anyZip64Entry or a count or place does not fit the plain record, then the plain end record.
void AppendEndRecords(std::uint64_t entries, std::uint64_t directoryStart,
                      std::uint64_t directorySize, bool anyZip64Entry,
                      std::vector<std::uint8_t>& out);
