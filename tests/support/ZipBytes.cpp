#include "support/ZipBytes.h"

#include <bzlib.h>
#include <zlib.h>

namespace ZipBytes {

namespace {

// Little-endian, `bytes` wide.
void Put(QByteArray& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.append(static_cast<char>((value >> (8 * i)) & 0xff));
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

QByteArray Zip64Field(std::uint64_t size, std::uint64_t compressed, std::uint64_t offset,
                      bool withOffset) {
    QByteArray field;
    Put(field, 0x0001, 2);
    Put(field, withOffset ? 24 : 16, 2);
    Put(field, size, 8);
    Put(field, compressed, 8);
    if (withOffset)
        Put(field, offset, 8);
    return field;
}

// The fields local and central headers share, from "version needed" to the extra field's length.
void PutCommonFields(QByteArray& out, const Entry& entry, std::uint64_t compressed,
                     qsizetype extraSize) {
    Put(out, entry.zip64 ? 45 : 20, 2);
    Put(out, entry.flags, 2);
    Put(out, entry.method, 2);
    Put(out, entry.dosTime, 2);
    Put(out, entry.dosDate, 2);
    Put(out, entry.crc, 4);
    Put(out, entry.zip64 ? 0xffffffff : compressed, 4);
    Put(out, entry.zip64 ? 0xffffffff : entry.size, 4);
    Put(out, static_cast<std::uint64_t>(entry.name.size()), 2);
    Put(out, static_cast<std::uint64_t>(extraSize), 2);
}

} // namespace

std::uint32_t Crc32(const QByteArray& content) {
    return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(content.constData()),
                                            static_cast<uInt>(content.size())));
}

QByteArray DeflateRaw(const QByteArray& content) {
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
    QByteArray out(static_cast<qsizetype>(deflateBound(&stream, content.size())),
                   Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.constData()));
    stream.avail_in = static_cast<uInt>(content.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.truncate(static_cast<qsizetype>(stream.total_out));
    deflateEnd(&stream);
    return out;
}

QByteArray Bzip2Stream(const QByteArray& content, int blockSize100k) {
    unsigned length = static_cast<unsigned>(content.size() + content.size() / 100 + 600);
    QByteArray out(length, Qt::Uninitialized);
    BZ2_bzBuffToBuffCompress(out.data(), &length, const_cast<char*>(content.constData()),
                             static_cast<unsigned>(content.size()), blockSize100k, 0, 0);
    out.truncate(length);
    return out;
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
    Put(field, 0x5455, 2);
    Put(field, 5, 2);
    Put(field, 1, 1);
    Put(field, static_cast<std::uint64_t>(mtime), 4);
    return field;
}

QByteArray UnicodePath(const QByteArray& storedName, const QByteArray& unicodeName, bool stale) {
    QByteArray field;
    Put(field, 0x7075, 2);
    Put(field, static_cast<std::uint64_t>(5 + unicodeName.size()), 2);
    Put(field, 1, 1);
    Put(field, Crc32(storedName) ^ (stale ? 1u : 0u), 4);
    return field + unicodeName;
}

QByteArray AesField(std::uint16_t method) {
    QByteArray field;
    Put(field, 0x9901, 2);
    Put(field, 7, 2);
    Put(field, 2, 2); // AE-2
    field += "AE";
    Put(field, 3, 1); // 256-bit
    Put(field, method, 2);
    return field;
}

// The CRC is linear in the appended bytes: find which of their 32 bits flip which bits of the
// CRC, then solve for the bits that turn the CRC of four zero bytes into the one wanted.
QByteArray WithCrc(const QByteArray& content, std::uint32_t crc) {
    const auto crcWith = [&](std::uint32_t tail) {
        QByteArray bytes = content;
        Put(bytes, tail, 4);
        return Crc32(bytes);
    };
    const std::uint32_t zero = crcWith(0);
    std::uint32_t effects[32];
    std::uint32_t tails[32];
    for (int bit = 0; bit < 32; ++bit) {
        effects[bit] = crcWith(1u << bit) ^ zero;
        tails[bit] = 1u << bit;
    }
    std::uint32_t wanted = crc ^ zero;
    std::uint32_t tail = 0;
    for (int bit = 31, row = 0; bit >= 0; --bit) {
        int pivot = row;
        while (pivot < 32 && !((effects[pivot] >> bit) & 1))
            ++pivot;
        if (pivot == 32)
            continue;
        std::swap(effects[pivot], effects[row]);
        std::swap(tails[pivot], tails[row]);
        for (int other = 0; other < 32; ++other) {
            if (other != row && ((effects[other] >> bit) & 1)) {
                effects[other] ^= effects[row];
                tails[other] ^= tails[row];
            }
        }
        if ((wanted >> bit) & 1) {
            wanted ^= effects[row];
            tail ^= tails[row];
        }
        ++row;
    }
    QByteArray forged = content;
    Put(forged, tail, 4);
    return forged;
}

QByteArray Build(const QList<Entry>& entries, const Options& options) {
    QByteArray archive;
    if (options.prefixCounted)
        archive = options.prefix;
    QList<std::uint64_t> offsets;
    for (const Entry& entry : entries) {
        if (entry.sharesLocalHeaderOf) {
            offsets.append(offsets[*entry.sharesLocalHeaderOf]);
            continue;
        }
        offsets.append(static_cast<std::uint64_t>(archive.size()));
        const auto compressed = static_cast<std::uint64_t>(entry.body.size());
        QByteArray extra = entry.localExtra;
        if (entry.zip64)
            extra.prepend(Zip64Field(entry.size, compressed, 0, false));
        Put(archive, 0x04034b50, 4);
        PutCommonFields(archive, entry, compressed, extra.size());
        archive += entry.name + extra + entry.body;
    }
    const auto directoryStart = static_cast<std::uint64_t>(archive.size());
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        const std::uint64_t compressed =
            entry.compressedSizeOverride.value_or(static_cast<std::uint64_t>(entry.body.size()));
        const std::uint64_t offset = entry.localHeaderOffsetOverride.value_or(offsets[i]);
        QByteArray extra = entry.centralExtra;
        if (entry.zip64)
            extra.prepend(Zip64Field(entry.size, compressed, offset, true));
        Put(archive, 0x02014b50, 4);
        Put(archive, entry.versionMadeBy, 2);
        PutCommonFields(archive, entry, compressed, extra.size());
        Put(archive, 0, 6); // comment length, disk number, internal attributes
        Put(archive, entry.externalAttributes, 4);
        Put(archive, entry.zip64 ? 0xffffffff : offset, 4);
        archive += entry.name + extra;
    }
    const auto directorySize = static_cast<std::uint64_t>(archive.size()) - directoryStart;
    const std::uint64_t count =
        options.declaredCount.value_or(static_cast<std::uint64_t>(entries.size()));
    const bool full = options.zip64EndRecords;
    if (full) {
        const auto recordAt = static_cast<std::uint64_t>(archive.size());
        Put(archive, 0x06064b50, 4);
        Put(archive, 44, 8);
        Put(archive, 45, 2);
        Put(archive, 45, 2);
        Put(archive, 0, 8); // this disk, the directory's disk
        Put(archive, count, 8);
        Put(archive, count, 8);
        Put(archive, directorySize, 8);
        Put(archive, directoryStart, 8);
        Put(archive, 0x07064b50, 4);
        Put(archive, 0, 4);
        Put(archive, recordAt, 8);
        Put(archive, 1, 4);
    }
    Put(archive, 0x06054b50, 4);
    Put(archive, 0, 4); // this disk, the directory's disk
    Put(archive, full ? 0xffff : std::min<std::uint64_t>(count, 0xffff), 2);
    Put(archive, full ? 0xffff : std::min<std::uint64_t>(count, 0xffff), 2);
    Put(archive, full ? 0xffffffff : directorySize, 4);
    Put(archive, full ? 0xffffffff : directoryStart, 4);
    Put(archive, 0, 2);
    return (options.prefixCounted ? QByteArray() : options.prefix) + archive + options.suffix;
}

} // namespace ZipBytes
