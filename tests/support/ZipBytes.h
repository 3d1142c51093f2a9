#pragma once

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <optional>

// Builds zip archives byte by byte, so that tests can make the broken and hostile ones no tool
// writes: any name, mode, size, CRC or offset, overlapping entries, junk around the archive.
namespace ZipBytes {

struct Entry {
    QByteArray name;
    QByteArray body; // the stored bytes, compressed already when method is not 0
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t size = 0; // declared uncompressed size
    std::uint16_t flags = 0;
    std::uint16_t versionMadeBy = (3 << 8) | 30; // Unix
    std::uint32_t externalAttributes = 0100644u << 16;
    QByteArray localExtra;
    QByteArray centralExtra;
    bool zip64 = false;                     // sizes and offset in a ZIP64 field
    std::optional<int> sharesLocalHeaderOf; // no body of its own: points at an earlier entry's
    std::optional<std::uint64_t> compressedSizeOverride; // declared in the central directory
    std::optional<std::uint64_t> localHeaderOffsetOverride;
};

// Entries whose declared size and CRC match the content.
Entry Stored(const QByteArray& name, const QByteArray& content, std::uint32_t unixMode = 0100644);
Entry Deflated(const QByteArray& name, const QByteArray& content);
Entry Bzip2(const QByteArray& name, const QByteArray& content, int blockSize100k = 9);
Entry Directory(const QByteArray& name, std::uint32_t unixMode = 040755);
Entry Link(const QByteArray& name, const QByteArray& target);
// Any other method: `body` is `content` compressed already.
Entry WithContent(const QByteArray& name, const QByteArray& body, std::uint16_t method,
                  const QByteArray& content);

// The raw compressed form, for entries built by hand.
QByteArray Bzip2Stream(const QByteArray& content, int blockSize100k = 9);
std::uint32_t Crc32(const QByteArray& content);

// An extended-timestamp field holding a modification time.
QByteArray ExtendedTimestamp(std::int64_t mtime);
// A Unicode path field giving `unicodeName` for an entry stored as `storedName`; its check value
// matches the stored name unless `stale`.
QByteArray UnicodePath(const QByteArray& storedName, const QByteArray& unicodeName,
                       bool stale = false);

// `content` followed by four bytes that give the whole the CRC `crc`.
QByteArray WithCrc(const QByteArray& content, std::uint32_t crc);

struct Options {
    QByteArray prefix;          // junk before the archive; offsets are not adjusted for it, unless
    bool prefixCounted = false; // as in an archive appended to another
    QByteArray suffix;          // junk after the end record
    std::optional<std::uint64_t> declaredCount; // the entry count in the end records
    bool zip64EndRecords = false;
};

QByteArray Build(const QList<Entry>& entries, const Options& options = {});

} // namespace ZipBytes
