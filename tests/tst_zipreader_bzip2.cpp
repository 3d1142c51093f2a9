// The reader's own BZIP2 decoding, checked against libbz2 on streams intact and damaged: whenever
// it calls a stream sound, libbz2 decodes the same bytes; an intact stream is always taken
// (otherwise every entry would pay for a second decoding); damage never makes it read or write
// out of bounds or hang.

#include "support/ZipBytes.h"
#include "ziparchive/BlockwiseBzip2.h"
#include "ziparchive/EntryOutput.h"
#include "ziparchive/EntryPlan.h"

#include <QTest>

#include <bzlib.h>
#include <zip.h>

#include <memory>
#include <random>

namespace {

struct ZipCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct ZipFileCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

// What libbz2 makes of a stream: the bytes, or nothing when it refuses it.
std::optional<QByteArray> DecodeWithLibbz2(const QByteArray& stream, qsizetype atMost) {
    QByteArray out(atMost + 1, Qt::Uninitialized);
    unsigned length = static_cast<unsigned>(out.size());
    const int status =
        BZ2_bzBuffToBuffDecompress(out.data(), &length, const_cast<char*>(stream.constData()),
                                   static_cast<unsigned>(stream.size()), 0, 0);
    if (status != BZ_OK)
        return std::nullopt;
    out.truncate(length);
    return out;
}

QByteArray Source(std::mt19937& random, qsizetype size) {
    QByteArray bytes;
    bytes.reserve(size);
    static const char text[] = "the quick brown fox jumps over the lazy dog\n";
    while (bytes.size() < size) {
        const int length = static_cast<int>(random() % 6000 + 1);
        switch (random() % 3) {
        case 0:
            for (int i = 0; i < length; ++i)
                bytes += text[random() % (sizeof text - 1)];
            break;
        case 1:
            bytes.append(length, static_cast<char>(random()));
            break;
        default:
            for (int i = 0; i < length; ++i)
                bytes += static_cast<char>(random());
        }
    }
    bytes.truncate(size);
    return bytes;
}

void Damage(std::mt19937& random, QByteArray& stream) {
    const int changes = static_cast<int>(random() % 3 + 1);
    for (int i = 0; i < changes && !stream.isEmpty(); ++i) {
        // Half of the damage lands in the block headers and tables at the start.
        const qsizetype span =
            random() % 2 ? std::min<qsizetype>(stream.size(), 400) : stream.size();
        const qsizetype at = static_cast<qsizetype>(random() % static_cast<quint32>(span));
        switch (random() % 4) {
        case 0:
            stream[at] = static_cast<char>(stream[at] ^ (1 << (random() % 8)));
            break;
        case 1:
            stream[at] = static_cast<char>(random());
            break;
        case 2:
            stream.truncate(at + 1);
            break;
        default:
            stream.insert(at, static_cast<char>(random()));
        }
    }
}

// Runs the blockwise decoder over the stream as the only entry of an archive.
std::optional<DecodeResult> DecodeBlockwise(const QByteArray& content, const QByteArray& stream,
                                            unsigned threads, QByteArray& decoded) {
    ZipBytes::Entry entry = ZipBytes::Bzip2("e", content);
    entry.body = stream;
    const QByteArray archive = ZipBytes::Build({entry});
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(
        archive.constData(), static_cast<zip_uint64_t>(archive.size()), 0, &error);
    std::unique_ptr<zip_t, ZipCloser> zip(zip_open_from_source(source, ZIP_RDONLY, &error));
    if (!zip) {
        zip_source_free(source);
        return std::nullopt;
    }
    std::unique_ptr<zip_file_t, ZipFileCloser> raw(
        zip_fopen_index(zip.get(), 0, ZIP_FL_COMPRESSED));
    EntryPlan plan;
    plan.method = 12;
    plan.crc = entry.crc;
    plan.size = entry.size;
    plan.localHeaderSound = true;
    MemoryOutput output;
    Bzip2Workspace workspace;
    const std::atomic<bool> cancel{false};
    auto result = DecodeBzip2Blockwise(raw.get(), plan, output, cancel, threads, workspace);
    decoded = QByteArray::fromStdString(output.Bytes());
    return result;
}

} // namespace

class TestZipReaderBzip2 : public QObject {
    Q_OBJECT

private slots:
    void agreesWithLibbz2_data() {
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<int>("largest");
        QTest::addColumn<unsigned>("threads");
        QTest::newRow("small entries, one thread") << 1u << 300000 << 1u;
        QTest::newRow("small entries, several threads") << 2u << 300000 << 3u;
        QTest::newRow("entries large enough to split") << 3u << (12 << 20) << 2u;
    }
    void agreesWithLibbz2() {
        QFETCH(quint32, seed);
        QFETCH(int, largest);
        QFETCH(unsigned, threads);
        std::mt19937 random(seed);
        const int rounds = largest > 1000000 ? 12 : 150;
        for (int round = 0; round < rounds; ++round) {
            const auto size = static_cast<qsizetype>(random() % static_cast<quint32>(largest) + 1);
            const QByteArray content = Source(random, size);
            QByteArray stream = ZipBytes::Bzip2Stream(content, static_cast<int>(random() % 9 + 1));
            const bool intact = round % 3 == 0;
            if (!intact)
                Damage(random, stream);
            QByteArray decoded;
            const auto result = DecodeBlockwise(content, stream, threads, decoded);
            if (intact) {
                QVERIFY2(result && result->status == DecodeStatus::Sound,
                         qPrintable(QString("intact stream of round %1 not taken").arg(round)));
                QVERIFY(decoded == content);
            } else if (result && result->status == DecodeStatus::Sound) {
                const auto reference = DecodeWithLibbz2(stream, size);
                QVERIFY2(reference && *reference == decoded,
                         qPrintable(QString("round %1 taken where libbz2 differs").arg(round)));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestZipReaderBzip2)
#include "tst_zipreader_bzip2.moc"
