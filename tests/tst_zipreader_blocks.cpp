// Large BZIP2 entries are split at their block markers and decoded on several threads. Whatever
// the data and whatever damage it carries, the outcome and the bytes are the same on one thread
// or several, and the bytes are the original ones.

#include "support/ReaderRun.h"
#include "support/TestTree.h"
#include "support/ZipBytes.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using ReaderRun::Outcome;
using ZipBytes::Entry;

Q_DECLARE_METATYPE(ReaderRun::Outcome)
Q_DECLARE_METATYPE(ZipBytes::Entry)

namespace {

// Long runs of one byte, which bzip2's first stage shortens before the blocks are cut, so that
// a block holds far more than its nominal size.
QByteArray Runs(qsizetype size) {
    QByteArray bytes;
    bytes.reserve(size);
    quint32 state = 12345;
    while (bytes.size() < size) {
        state = state * 1103515245 + 12345;
        bytes.append(static_cast<qsizetype>(state % 3000 + 1), static_cast<char>(state >> 24));
    }
    bytes.truncate(size);
    return bytes;
}

// Text, random bytes and runs, mixed in pieces, so that blocks differ in size and ratio.
QByteArray Mixed(qsizetype size) {
    QByteArray bytes;
    quint32 seed = 1;
    while (bytes.size() < size) {
        bytes += TestTree::TextBytes(700000, seed++);
        bytes += TestTree::RandomBytes(300000, seed++);
        bytes += Runs(500000);
    }
    bytes.truncate(size);
    return bytes;
}

Entry Damaged(Entry entry, qsizetype at) {
    for (qsizetype i = at; i < at + 8; ++i)
        entry.body[i] = static_cast<char>(entry.body[i] ^ 0xa5);
    return entry;
}

} // namespace

class TestZipReaderBlocks : public QObject {
    Q_OBJECT

private slots:
    void sameAsInOnePiece_data() {
        QTest::addColumn<Entry>("entry");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Outcome>("outcome");
        const QByteArray text = TestTree::TextBytes(12 << 20, 1);
        const QByteArray random = TestTree::RandomBytes(9 << 20, 2);
        const QByteArray runs = Runs(40 << 20);
        const QByteArray mixed = Mixed(20 << 20);
        const Entry textEntry = ZipBytes::Bzip2("big", text);
        QTest::newRow("text, 900k blocks") << textEntry << text << Outcome::Succeeded;
        QTest::newRow("text, 100k blocks")
            << ZipBytes::Bzip2("big", text, 1) << text << Outcome::Succeeded;
        QTest::newRow("random bytes")
            << ZipBytes::Bzip2("big", random) << random << Outcome::Succeeded;
        QTest::newRow("long runs") << ZipBytes::Bzip2("big", runs) << runs << Outcome::Succeeded;
        QTest::newRow("mixed, 300k blocks")
            << ZipBytes::Bzip2("big", mixed, 3) << mixed << Outcome::Succeeded;
        Entry trailing = textEntry;
        trailing.body += "trailing bytes after the end of the stream";
        QTest::newRow("bytes after the end of the stream")
            << trailing << text << Outcome::Succeeded;
        QTest::newRow("a block damaged in the middle")
            << Damaged(textEntry, textEntry.body.size() / 2) << text << Outcome::Corrupted;
        QTest::newRow("the last block damaged")
            << Damaged(textEntry, textEntry.body.size() - 40) << text << Outcome::Corrupted;
        Entry crc = textEntry;
        crc.crc ^= 1;
        QTest::newRow("the entry's CRC wrong") << crc << text << Outcome::Corrupted;
        Entry streamCrc = textEntry;
        streamCrc.body[streamCrc.body.size() - 1] =
            static_cast<char>(streamCrc.body[streamCrc.body.size() - 1] ^ 0x80);
        QTest::newRow("the stream's CRC wrong") << streamCrc << text << Outcome::Corrupted;
        Entry cut = textEntry;
        cut.body.truncate(cut.body.size() * 2 / 3);
        QTest::newRow("the stream cut after some blocks") << cut << text << Outcome::Corrupted;
        Entry shorter = textEntry;
        shorter.size -= 1000;
        QTest::newRow("declared shorter than it decodes") << shorter << text << Outcome::Corrupted;
        Entry longer = textEntry;
        longer.size += 1000;
        QTest::newRow("declared longer than it decodes") << longer << text << Outcome::Corrupted;
        Entry twice = textEntry;
        twice.body += ZipBytes::Bzip2Stream(text);
        twice.size *= 2;
        twice.crc = ZipBytes::Crc32(text + text);
        QTest::newRow("two streams back to back") << twice << text << Outcome::Corrupted;
    }
    void sameAsInOnePiece() {
        QFETCH(Entry, entry);
        QFETCH(QByteArray, content);
        QFETCH(Outcome, outcome);
        QTemporaryDir top;
        const QString archive = top.filePath("archive.zip");
        TestTree::WriteFile(archive, ZipBytes::Build({ZipBytes::Stored("first", "first"), entry,
                                                      ZipBytes::Stored("last", "last")}));
        for (const unsigned threads : {1u, 2u, 3u}) {
            const QString destination = top.filePath(QString("out%1").arg(threads));
            const ReaderRun::Result result =
                ReaderRun::UnpackLikeTheWorker(archive, destination, threads);
            QCOMPARE(ReaderRun::OutcomeName(result.outcome), ReaderRun::OutcomeName(outcome));
            if (outcome == Outcome::Succeeded) {
                QFile file(destination + "/big");
                QVERIFY(file.open(QIODevice::ReadOnly));
                QVERIFY(file.readAll() == content);
                QVERIFY(QFileInfo::exists(destination + "/last"));
            } else {
                QCOMPARE(ReaderRun::Tree(destination).keys(), QStringList{"first"});
            }
        }
        QCOMPARE(ReaderRun::Leftovers(top.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestZipReaderBlocks)
#include "tst_zipreader_blocks.moc"
