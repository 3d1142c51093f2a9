// The reader's own BZIP2 decoding, which splits large entries at their block markers and decodes
// them on several threads: whatever the data and its damage, the outcome and the bytes are the
// same on one thread or several, and the bytes are the original ones. An intact stream is always
// taken by it (otherwise every entry would pay for a second decoding, by libbz2). (Random
// damage, checked against libbz2, is fuzz_bzip2blockwise's.)

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

#include <sys/mman.h>
#include <unistd.h>

using ZipBytes::Entry;

Q_DECLARE_METATYPE(ZipBytes::Entry)

namespace {

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

// Runs the blockwise decoder over the stream, read from a file as an entry's data is; true when
// it took the stream and gave back the content.
bool TakenBlockwise(const QByteArray& content, const QByteArray& stream, unsigned threads) {
    const UniqueFd file(::memfd_create("stream", MFD_CLOEXEC));
    if (::write(file.Get(), stream.constData(), static_cast<std::size_t>(stream.size())) !=
        stream.size())
        return false;
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
    const auto result = DecodeBzip2Blockwise(input, plan, output, cancel, budget, workspace, &team);
    return result && result->status == DecodeStatus::Sound &&
           QByteArray::fromStdString(output.Bytes()) == content;
}

} // namespace

class TestZipReaderBzip2 : public QObject {
    Q_OBJECT

private slots:
    // Every block size, small entries and one large enough to split, one thread and several.
    void intactStreamsAreTakenWhole() {
        const QByteArray shapes[] = {QByteArray("x"), TestTree::TextBytes(70'000, 1),
                                     TestTree::RandomBytes(300'000, 2), Runs(2'000'000),
                                     TestTree::TextBytes(6'000'000, 3) + Runs(4'000'000)};
        for (const QByteArray& content : shapes)
            for (int blockSize = 1; blockSize <= 9; blockSize += 4)
                for (const unsigned threads : {1u, 3u})
                    QVERIFY2(
                        TakenBlockwise(content, ZipBytes::Bzip2Stream(content, blockSize), threads),
                        qPrintable(QString("%1 bytes, %2 00k blocks, %3 threads")
                                       .arg(content.size())
                                       .arg(blockSize)
                                       .arg(threads)));
    }

    void sameAsInOnePiece_data() {
        QTest::addColumn<Entry>("entry");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("outcome");
        const QByteArray text = TestTree::TextBytes(12 << 20, 1);
        const QByteArray random = TestTree::RandomBytes(9 << 20, 2);
        const QByteArray runs = Runs(40 << 20);
        const QByteArray mixed =
            TestTree::TextBytes(8 << 20, 3) + Runs(6 << 20) + TestTree::RandomBytes(6 << 20, 4);
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
