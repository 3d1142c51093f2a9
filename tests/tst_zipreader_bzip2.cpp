// The reader's own BZIP2 decoding, which splits large entries at their block markers and decodes
// them on several threads. Checked against libbz2 on streams intact and damaged: whenever it
// calls a stream sound, libbz2 decodes the same bytes; an intact stream is always taken
// (otherwise every entry would pay for a second decoding); damage never makes it read or write
// out of bounds or hang. And through the reader: whatever the data and its damage, the outcome
// and the bytes are the same on one thread or several, and the bytes are the original ones.

#include "support/ReaderRun.h"
#include "support/TestTree.h"
#include "support/ZipBytes.h"
#include "ziparchive/ThreadBudget.h"
#include "ziparchive/bzip2/BlockwiseBzip2.h"
#include "ziparchive/fs/UniqueFd.h"
#include "ziparchive/read/EntryInput.h"
#include "ziparchive/read/EntryOutput.h"
#include "ziparchive/read/EntryPlan.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <bzlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <random>

using ZipBytes::Entry;

Q_DECLARE_METATYPE(ZipBytes::Entry)

namespace {

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

// Long runs of one byte, which bzip2's first stage shortens before the blocks are cut, so that
// a block holds far more than its nominal size.
QByteArray Runs(qsizetype size) {
    QByteArray bytes;
    quint32 state = 12345;
    while (bytes.size() < size) {
        state = state * 1103515245 + 12345;
        bytes.append(static_cast<qsizetype>(state % 3000 + 1), static_cast<char>(state >> 24));
    }
    bytes.truncate(size);
    return bytes;
}

Entry Damaged(Entry entry, qsizetype at) {
    for (qsizetype i = at; i < at + 8; ++i)
        entry.body[i] = static_cast<char>(entry.body[i] ^ 0xa5);
    return entry;
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

// Runs the blockwise decoder over the stream, read from a file as an entry's data is.
std::optional<DecodeResult> DecodeBlockwise(const QByteArray& content, const QByteArray& stream,
                                            unsigned threads, QByteArray& decoded) {
    const UniqueFd file(::memfd_create("stream", MFD_CLOEXEC));
    if (::write(file.Get(), stream.constData(), static_cast<std::size_t>(stream.size())) !=
        stream.size())
        return std::nullopt;
    EntryInput input(file.Get(), 0, static_cast<std::uint64_t>(stream.size()));
    EntryPlan plan;
    plan.method = 12;
    plan.crc = ZipBytes::Crc32(content);
    plan.size = static_cast<std::uint64_t>(content.size());
    plan.localHeaderSound = true;
    MemoryOutput output;
    Bzip2Workspace workspace;
    Bzip2SplitTeam team;
    const std::atomic<bool> cancel{false};
    ThreadBudget budget(threads);
    const ThreadBudget::Lease caller = budget.Worker();
    auto result = DecodeBzip2Blockwise(input, plan, output, cancel, budget, workspace, &team);
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

    void sameAsInOnePiece_data() {
        QTest::addColumn<Entry>("entry");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("outcome");
        const QByteArray text = TestTree::TextBytes(12 << 20, 1);
        const QByteArray random = TestTree::RandomBytes(9 << 20, 2);
        const QByteArray runs = Runs(40 << 20);
        std::mt19937 engine(4);
        const QByteArray mixed = Source(engine, 20 << 20);
        const Entry textEntry = ZipBytes::Bzip2("big", text);
        QTest::newRow("text, 900k blocks") << textEntry << text << "succeeded";
        QTest::newRow("random bytes") << ZipBytes::Bzip2("big", random) << random << "succeeded";
        QTest::newRow("long runs") << ZipBytes::Bzip2("big", runs) << runs << "succeeded";
        QTest::newRow("mixed, 300k blocks")
            << ZipBytes::Bzip2("big", mixed, 3) << mixed << "succeeded";
        // Runs of one byte expand each block to 45 MB, which is written piece by piece.
        const QByteArray zeros(64 << 20, '\0');
        QTest::newRow("zeros") << ZipBytes::Bzip2("big", zeros) << zeros << "succeeded";
        // No marker follows the first one: no block can be that long, and the stream is left to
        // libbz2 rather than held whole.
        Entry noMarker = ZipBytes::Bzip2("big", random);
        noMarker.body = "BZh9" + QByteArray::fromHex("314159265359") + random + random;
        QTest::newRow("no second block marker") << noMarker << random << "corrupted";
        Entry trailing = textEntry;
        trailing.body += "trailing bytes after the end of the stream";
        QTest::newRow("bytes after the end of the stream") << trailing << text << "succeeded";
        QTest::newRow("a block damaged in the middle")
            << Damaged(textEntry, textEntry.body.size() / 2) << text << "corrupted";
        QTest::newRow("the last block damaged")
            << Damaged(textEntry, textEntry.body.size() - 40) << text << "corrupted";
        Entry crc = textEntry;
        crc.crc ^= 1;
        QTest::newRow("the entry's CRC wrong") << crc << text << "corrupted";
        Entry streamCrc = textEntry;
        streamCrc.body[streamCrc.body.size() - 1] =
            static_cast<char>(streamCrc.body[streamCrc.body.size() - 1] ^ 0x80);
        QTest::newRow("the stream's CRC wrong") << streamCrc << text << "corrupted";
        Entry cut = textEntry;
        cut.body.truncate(cut.body.size() * 2 / 3);
        QTest::newRow("the stream cut after some blocks") << cut << text << "corrupted";
        Entry shorter = textEntry;
        shorter.size -= 1000;
        QTest::newRow("declared shorter than it decodes") << shorter << text << "corrupted";
        Entry longer = textEntry;
        longer.size += 1000;
        QTest::newRow("declared longer than it decodes") << longer << text << "corrupted";
        Entry twice = textEntry;
        twice.body += ZipBytes::Bzip2Stream(text);
        twice.size *= 2;
        twice.crc = ZipBytes::Crc32(text + text);
        QTest::newRow("two streams back to back") << twice << text << "corrupted";
    }
    void sameAsInOnePiece() {
        QFETCH(Entry, entry);
        QFETCH(QByteArray, content);
        QFETCH(QString, outcome);
        QTemporaryDir top;
        const QString archive = top.filePath("archive.zip");
        TestTree::WriteFile(archive, ZipBytes::Build({ZipBytes::Stored("first", "first"), entry,
                                                      ZipBytes::Stored("last", "last")}));
        for (const unsigned threads : {1u, 2u, 3u}) {
            const QString destination = top.filePath(QString("out%1").arg(threads));
            QCOMPARE(ReaderRun::Unpack(archive, destination, threads), outcome);
            if (outcome == "succeeded") {
                QFile file(destination + "/big");
                QVERIFY(file.open(QIODevice::ReadOnly));
                QVERIFY(file.readAll() == content);
                QVERIFY(QFileInfo::exists(destination + "/last"));
            } else {
                QCOMPARE(TestTree::Snapshot(destination).keys(), QStringList{"first"});
            }
        }
        QCOMPARE(ReaderRun::Leftovers(top.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestZipReaderBzip2)
#include "tst_zipreader_bzip2.moc"
