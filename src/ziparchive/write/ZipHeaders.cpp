#include "ziparchive/write/ZipHeaders.h"

#include "ziparchive/write/EntryTime.h"

#include <zip.h>

#include <algorithm>
#include <iterator>

namespace {

// BZIP2 needs version 4.6 to extract; made by 6.3 on Unix.
constexpr std::uint16_t VersionNeeded = 46;
constexpr std::uint16_t VersionMadeBy = (3 << 8) | 63;
constexpr std::uint16_t Zip64VersionNeeded = 45;
constexpr std::uint16_t Utf8NameFlag = 0x0800;
constexpr std::uint16_t Zip64FieldId = 0x0001;
constexpr std::uint64_t Max16 = 0xFFFFu;
constexpr std::uint32_t RegularFile = 0100000;

// Zip records store integers little-endian, in fields of 2, 4 or 8 bytes.
void PutLittle(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void Put16(std::vector<std::uint8_t>& out, std::uint64_t value) {
    PutLittle(out, value, 2);
}

void Put32(std::vector<std::uint8_t>& out, std::uint64_t value) {
    PutLittle(out, value, 4);
}

void Put64(std::vector<std::uint8_t>& out, std::uint64_t value) {
    PutLittle(out, value, 8);
}

void PutSignature(std::vector<std::uint8_t>& out, std::uint8_t third, std::uint8_t fourth) {
    out.insert(out.end(), {'P', 'K', third, fourth});
}

// The 32-bit field's value: Max32 when the value is in the ZIP64 field instead.
std::uint64_t Field32(std::uint64_t value) {
    return std::min(value, Max32);
}

// Appends the extended timestamp, unless the time has none.
void PutTimestamp(std::vector<std::uint8_t>& out, std::time_t modified) {
    std::uint8_t field[ExtendedTimestampSize];
    if (!ExtendedTimestamp(modified, field))
        return;
    Put16(out, ExtendedTimestampId);
    Put16(out, ExtendedTimestampSize);
    out.insert(out.end(), field, field + ExtendedTimestampSize);
}

// The extra fields' length goes before the name, so it is filled in once they are appended.
void SetExtraLength(std::vector<std::uint8_t>& out, std::size_t lengthAt, std::size_t extraStart) {
    const std::size_t length = out.size() - extraStart;
    out[lengthAt] = static_cast<std::uint8_t>(length);
    out[lengthAt + 1] = static_cast<std::uint8_t>(length >> 8);
}

// The fields the two headers begin alike with, from the version needed to the CRC.
void PutCommonStart(const EntryHeader& entry, std::vector<std::uint8_t>& out) {
    Put16(out, VersionNeeded);
    Put16(out, entry.utf8Name ? Utf8NameFlag : 0);
    Put16(out, ZIP_CM_BZIP2);
    Put16(out, entry.dosDateTime & 0xFFFF);
    Put16(out, entry.dosDateTime >> 16);
    Put32(out, entry.crc32);
}

} // namespace

bool NeedsZip64Local(std::uint64_t size, std::uint64_t compressedSize) {
    return size >= Max32 || compressedSize >= Max32;
}

void EncodeLocalHeader(const EntryHeader& entry, bool zip64, std::vector<std::uint8_t>& out) {
    out.clear();
    PutSignature(out, 3, 4);
    PutCommonStart(entry, out);
    // A local ZIP64 field holds both sizes, so both plain fields then say "in the ZIP64 field"
    // once either needs it.
    const bool sizesInZip64 = NeedsZip64Local(entry.size, entry.compressedSize);
    Put32(out, sizesInZip64 ? Max32 : entry.compressedSize);
    Put32(out, sizesInZip64 ? Max32 : entry.size);
    Put16(out, entry.name.size());
    const std::size_t extraLengthAt = out.size();
    Put16(out, 0);
    out.insert(out.end(), entry.name.begin(), entry.name.end());
    const std::size_t extraStart = out.size();
    if (zip64) {
        Put16(out, Zip64FieldId);
        Put16(out, 16);
        Put64(out, entry.size);
        Put64(out, entry.compressedSize);
    }
    PutTimestamp(out, entry.modified);
    SetExtraLength(out, extraLengthAt, extraStart);
}

bool AppendCentralHeader(const EntryHeader& entry, std::vector<std::uint8_t>& out) {
    PutSignature(out, 1, 2);
    Put16(out, VersionMadeBy);
    PutCommonStart(entry, out);
    Put32(out, Field32(entry.compressedSize));
    Put32(out, Field32(entry.size));
    Put16(out, entry.name.size());
    const std::size_t extraLengthAt = out.size();
    Put16(out, 0);
    Put16(out, 0); // comment
    Put16(out, 0); // disk
    Put16(out, 0); // internal attributes
    Put32(out, static_cast<std::uint32_t>(RegularFile | entry.mode) << 16);
    Put32(out, Field32(entry.offset));
    out.insert(out.end(), entry.name.begin(), entry.name.end());
    const std::size_t extraStart = out.size();
    // The ZIP64 field holds, in this order, exactly the values whose plain field is Max32.
    const std::uint64_t values[] = {entry.size, entry.compressedSize, entry.offset};
    const auto inZip64 = static_cast<std::size_t>(
        std::count_if(std::begin(values), std::end(values), [](auto v) { return v >= Max32; }));
    if (inZip64 > 0) {
        Put16(out, Zip64FieldId);
        Put16(out, 8 * inZip64);
        for (const std::uint64_t value : values)
            if (value >= Max32)
                Put64(out, value);
    }
    PutTimestamp(out, entry.modified);
    SetExtraLength(out, extraLengthAt, extraStart);
    return inZip64 > 0;
}

void AppendEndRecords(std::uint64_t entries, std::uint64_t directoryStart,
                      std::uint64_t directorySize, bool anyZip64Entry,
                      std::vector<std::uint8_t>& out) {
    // A count of exactly 65,535 still goes in the plain record: every reader takes it as the
    // count. A place or size of exactly Max32 does not: the plain field then says "in the
    // ZIP64 record".
    const bool zip64 =
        anyZip64Entry || entries > Max16 || directoryStart >= Max32 || directorySize >= Max32;
    if (zip64) {
        const std::uint64_t recordAt = directoryStart + directorySize;
        PutSignature(out, 6, 6);
        Put64(out, 44); // the record's size after this field
        Put16(out, Zip64VersionNeeded);
        Put16(out, Zip64VersionNeeded);
        Put32(out, 0); // this disk
        Put32(out, 0); // the directory's disk
        Put64(out, entries);
        Put64(out, entries);
        Put64(out, directorySize);
        Put64(out, directoryStart);
        PutSignature(out, 6, 7);
        Put32(out, 0); // the record's disk
        Put64(out, recordAt);
        Put32(out, 1); // disks
    }
    PutSignature(out, 5, 6);
    Put16(out, 0); // this disk
    Put16(out, 0); // the directory's disk
    Put16(out, std::min(entries, Max16));
    Put16(out, std::min(entries, Max16));
    Put32(out, Field32(directorySize));
    Put32(out, Field32(directoryStart));
    Put16(out, 0); // comment
}
