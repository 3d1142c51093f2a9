#include "support/ZipBytes.h"

#include <bzlib.h>
#include <zlib.h>

namespace ZipBytes {

namespace {

void Put16(QByteArray& out, std::uint64_t value) {
    out.append(static_cast<char>(value & 0xff));
    out.append(static_cast<char>((value >> 8) & 0xff));
}

void Put32(QByteArray& out, std::uint64_t value) {
    Put16(out, value & 0xffff);
    Put16(out, (value >> 16) & 0xffff);
}

void Put64(QByteArray& out, std::uint64_t value) {
    Put32(out, value & 0xffffffff);
    Put32(out, value >> 32);
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
    Put16(field, 0x0001);
    Put16(field, withOffset ? 24 : 16);
    Put64(field, size);
    Put64(field, compressed);
    if (withOffset)
        Put64(field, offset);
    return field;
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
    Put16(field, 0x5455);
    Put16(field, 5);
    field.append('\x01');
    Put32(field, static_cast<std::uint64_t>(mtime) & 0xffffffff);
    return field;
}

QByteArray Build(const QList<Entry>& entries, const Options& options) {
    QByteArray archive;
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
        Put32(archive, 0x04034b50);
        Put16(archive, entry.zip64 ? 45 : 20);
        Put16(archive, entry.flags);
        Put16(archive, entry.method);
        Put16(archive, entry.dosTime);
        Put16(archive, entry.dosDate);
        Put32(archive, entry.crc);
        Put32(archive, entry.zip64 ? 0xffffffff : compressed);
        Put32(archive, entry.zip64 ? 0xffffffff : entry.size);
        Put16(archive, static_cast<std::uint64_t>(entry.name.size()));
        Put16(archive, static_cast<std::uint64_t>(extra.size()));
        archive += entry.name;
        archive += extra;
        archive += entry.body;
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
        Put32(archive, 0x02014b50);
        Put16(archive, entry.versionMadeBy);
        Put16(archive, entry.zip64 ? 45 : 20);
        Put16(archive, entry.flags);
        Put16(archive, entry.method);
        Put16(archive, entry.dosTime);
        Put16(archive, entry.dosDate);
        Put32(archive, entry.crc);
        Put32(archive, entry.zip64 ? 0xffffffff : compressed);
        Put32(archive, entry.zip64 ? 0xffffffff : entry.size);
        Put16(archive, static_cast<std::uint64_t>(entry.name.size()));
        Put16(archive, static_cast<std::uint64_t>(extra.size()));
        Put16(archive, 0);
        Put16(archive, 0);
        Put16(archive, 0);
        Put32(archive, entry.externalAttributes);
        Put32(archive, entry.zip64 ? 0xffffffff : offset);
        archive += entry.name;
        archive += extra;
    }
    const auto directorySize = static_cast<std::uint64_t>(archive.size()) - directoryStart;
    const std::uint64_t count =
        options.declaredCount.value_or(static_cast<std::uint64_t>(entries.size()));
    if (options.zip64EndRecords) {
        const auto recordAt = static_cast<std::uint64_t>(archive.size());
        Put32(archive, 0x06064b50);
        Put64(archive, 44);
        Put16(archive, 45);
        Put16(archive, 45);
        Put32(archive, 0);
        Put32(archive, 0);
        Put64(archive, count);
        Put64(archive, count);
        Put64(archive, directorySize);
        Put64(archive, directoryStart);
        Put32(archive, 0x07064b50);
        Put32(archive, 0);
        Put64(archive, recordAt);
        Put32(archive, 1);
    }
    const bool full = options.zip64EndRecords;
    Put32(archive, 0x06054b50);
    Put16(archive, 0);
    Put16(archive, 0);
    Put16(archive, full ? 0xffff : std::min<std::uint64_t>(count, 0xffff));
    Put16(archive, full ? 0xffff : std::min<std::uint64_t>(count, 0xffff));
    Put32(archive, full ? 0xffffffff : directorySize);
    Put32(archive, full ? 0xffffffff : directoryStart);
    Put16(archive, 0);
    return options.prefix + archive + options.suffix;
}

} // namespace ZipBytes
