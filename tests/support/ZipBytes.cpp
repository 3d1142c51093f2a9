#include "support/ZipBytes.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <utility>

namespace ZipBytes {

namespace {

// Little-endian fields, each a value and its width in bytes, in the order the record has them.
void Put(QByteArray& out, std::initializer_list<std::pair<std::uint64_t, int>> fields) {
    for (const auto& [value, bytes] : fields)
        for (int i = 0; i < bytes; ++i)
            out.append(static_cast<char>((value >> (8 * i)) & 0xff));
}

QByteArray Zip64Field(std::uint64_t size, std::uint64_t compressed,
                      std::optional<std::uint64_t> offset) {
    QByteArray field;
    Put(field, {{0x0001, 2}, {offset ? 24 : 16, 2}, {size, 8}, {compressed, 8}});
    if (offset)
        Put(field, {{*offset, 8}});
    return field;
}

// The fields local and central headers share, from "version needed" to the extra field's length.
void PutCommonFields(QByteArray& out, const Entry& entry, std::uint64_t compressed,
                     qsizetype extraSize) {
    const std::uint64_t inZip64 = 0xffffffff;
    Put(out, {{entry.zip64 ? 45 : 20, 2},
              {entry.flags, 2},
              {entry.method, 2},
              {0x6000, 2}, // 12:00:00
              {0x5a21, 2}, // 2025-01-01
              {entry.crc, 4},
              {entry.zip64 ? inZip64 : compressed, 4},
              {entry.zip64 ? inZip64 : entry.size, 4},
              {static_cast<std::uint64_t>(entry.name.size()), 2},
              {static_cast<std::uint64_t>(extraSize), 2}});
}

// qCompress gives the length, then a zlib stream: a two-byte header, the raw stream, and four
// bytes of checksum. Nothing compresses to a final empty fixed block.
QByteArray DeflateRaw(const QByteArray& content) {
    return content.isEmpty() ? QByteArray("\x03\x00", 2) : qCompress(content, 9).mid(6).chopped(4);
}

} // namespace

std::uint32_t Crc32(const QByteArray& content) {
    return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(content.constData()),
                                            static_cast<uInt>(content.size())));
}

QByteArray Bzip2Stream(const QByteArray& content, int blockSize100k) {
    unsigned length = static_cast<unsigned>(content.size() + content.size() / 100 + 600);
    QByteArray out(length, Qt::Uninitialized);
    BZ2_bzBuffToBuffCompress(out.data(), &length, const_cast<char*>(content.constData()),
                             static_cast<unsigned>(content.size()), blockSize100k, 0, 0);
    out.truncate(length);
    return out;
}

Entry WithContent(const QByteArray& name, const QByteArray& body, std::uint16_t method,
                  const QByteArray& content) {
    Entry entry;
    entry.name = name;
    entry.body = body;
    entry.method = method;
    entry.crc = Crc32(content);
    entry.size = static_cast<std::uint64_t>(content.size());
    return entry;
}

Entry Stored(const QByteArray& name, const QByteArray& content, std::uint32_t unixMode) {
    Entry entry = WithContent(name, content, 0, content);
    entry.externalAttributes = unixMode << 16;
    return entry;
}

Entry Deflated(const QByteArray& name, const QByteArray& content) {
    return WithContent(name, DeflateRaw(content), 8, content);
}

Entry Bzip2(const QByteArray& name, const QByteArray& content, int blockSize100k) {
    return WithContent(name, Bzip2Stream(content, blockSize100k), 12, content);
}

Entry Directory(const QByteArray& name, std::uint32_t unixMode) {
    Entry entry = Stored(name, {}, unixMode);
    entry.externalAttributes |= 0x10;
    return entry;
}

Entry Link(const QByteArray& name, const QByteArray& target) {
    return Stored(name, target, 0120777);
}

QByteArray ExtendedTimestamp(std::int64_t mtime) {
    QByteArray field;
    Put(field, {{0x5455, 2}, {5, 2}, {1, 1}, {static_cast<std::uint64_t>(mtime), 4}});
    return field;
}

QByteArray UnicodePath(const QByteArray& storedName, const QByteArray& unicodeName, bool stale) {
    QByteArray field;
    Put(field, {{0x7075, 2},
                {static_cast<std::uint64_t>(5 + unicodeName.size()), 2},
                {1, 1},
                {Crc32(storedName) ^ (stale ? 1u : 0u), 4}});
    return field + unicodeName;
}

// Four bytes xored into the CRC register are the same as four zero bytes fed from a register
// xored with them; and a zero byte can be run backwards, since the top bytes of the table's
// entries are all different and so tell which entry the step used.
QByteArray WithCrc(const QByteArray& content, std::uint32_t crc) {
    const z_crc_t* table = get_crc_table();
    std::uint32_t before = ~crc; // the register before the four zero bytes, found backwards
    for (int step = 0; step < 4; ++step) {
        const auto index = static_cast<std::uint32_t>(
            std::find_if(table, table + 256,
                         [&](z_crc_t entry) { return entry >> 24 == before >> 24; }) -
            table);
        before = ((before ^ static_cast<std::uint32_t>(table[index])) << 8) | index;
    }
    QByteArray forged = content;
    Put(forged, {{before ^ ~Crc32(content), 4}});
    return forged;
}

QByteArray Build(const QList<Entry>& entries, const Options& options) {
    QByteArray archive = options.prefixCounted ? options.prefix : QByteArray();
    QList<std::uint64_t> offsets;
    for (const Entry& entry : entries) {
        if (entry.sharesLocalHeaderOf) {
            offsets.append(offsets[*entry.sharesLocalHeaderOf]);
            continue;
        }
        offsets.append(static_cast<std::uint64_t>(archive.size()));
        const auto compressed = static_cast<std::uint64_t>(entry.body.size());
        const QByteArray extra =
            (entry.zip64 ? Zip64Field(entry.size, compressed, std::nullopt) : QByteArray()) +
            entry.localExtra;
        Put(archive, {{0x04034b50, 4}});
        PutCommonFields(archive, entry, compressed, extra.size());
        archive += entry.name + extra + entry.body;
    }
    const auto directoryStart = static_cast<std::uint64_t>(archive.size());
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        const std::uint64_t compressed =
            entry.compressedSizeOverride.value_or(static_cast<std::uint64_t>(entry.body.size()));
        const std::uint64_t offset = entry.localHeaderOffsetOverride.value_or(offsets[i]);
        const QByteArray extra =
            (entry.zip64 ? Zip64Field(entry.size, compressed, offset) : QByteArray()) +
            entry.centralExtra;
        Put(archive, {{0x02014b50, 4}, {entry.versionMadeBy, 2}});
        PutCommonFields(archive, entry, compressed, extra.size());
        // comment length, disk number, internal attributes
        Put(archive,
            {{0, 6}, {entry.externalAttributes, 4}, {entry.zip64 ? 0xffffffff : offset, 4}});
        archive += entry.name + extra;
    }
    const auto directorySize = static_cast<std::uint64_t>(archive.size()) - directoryStart;
    const std::uint64_t count =
        options.declaredCount.value_or(static_cast<std::uint64_t>(entries.size()));
    const bool full = options.zip64EndRecords;
    if (full) {
        // The ZIP64 end record, on this disk with its directory, and its locator.
        Put(archive, {{0x06064b50, 4},
                      {44, 8},
                      {45, 2},
                      {45, 2},
                      {0, 8},
                      {count, 8},
                      {count, 8},
                      {directorySize, 8},
                      {directoryStart, 8},
                      {0x07064b50, 4},
                      {0, 4},
                      {static_cast<std::uint64_t>(archive.size()), 8},
                      {1, 4}});
    }
    const std::uint64_t shortCount = full ? 0xffff : std::min<std::uint64_t>(count, 0xffff);
    Put(archive, {{0x06054b50, 4},
                  {0, 4},
                  {shortCount, 2},
                  {shortCount, 2},
                  {full ? 0xffffffff : directorySize, 4},
                  {full ? 0xffffffff : directoryStart, 4},
                  {0, 2}});
    return (options.prefixCounted ? QByteArray() : options.prefix) + archive + options.suffix;
}

} // namespace ZipBytes
