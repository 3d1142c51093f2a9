// The unzip worker's side of the protocol, through a recording report target: what it says,
// in which order, and what it leaves on disk.

#include "archive/Messages.h"
#include "archive/UnzipWorker.h"
#include "support/TestTree.h"
#include "support/WorkerRun.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Kind = RecordingReport::Record::Kind;

namespace {

// Three small files, written by Python's zipfile with BZIP2.
QString MakeArchive(const QString& path, bool corruptThird = false) {
    const QString code = QStringLiteral(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_BZIP2) as z:
    z.writestr('one.txt', 'first entry\n' * 50)
    z.writestr('dir/two.txt', 'second entry\n' * 50)
    z.writestr('three.txt', 'third entry\n' * 50)
if sys.argv[2] == '1':
    # Flip a byte in the middle of the third entry's compressed data.
    data = bytearray(open(sys.argv[1], 'rb').read())
    with zipfile.ZipFile(sys.argv[1]) as z:
        info = z.getinfo('three.txt')
    start = info.header_offset + 30 + len(info.filename) + len(info.extra)
    data[start + info.compress_size // 2] ^= 0x55
    open(sys.argv[1], 'wb').write(bytes(data))
)");
    if (TestTree::RunPython(code, {path, corruptThird ? "1" : "0"}) != 0)
        qFatal("python3 could not write %s", qPrintable(path));
    return path;
}

} // namespace

class TestUnzipWorker : public QObject {
    Q_OBJECT

private slots:
    void refusesWithoutAnArchive_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("unzipSelected");
        QTest::newRow("empty path") << QString() << true;
        QTest::newRow("something selected for zipping") << QStringLiteral("/tmp/x.zip") << false;
    }
    void refusesWithoutAnArchive() {
        QFETCH(QString, path);
        QFETCH(bool, unzipSelected);
        WorkerRun run;
        run.state().selectedPath = path;
        run.state().unzipSelected = unzipSelected;
        run.state().busy = true; // raised by the start command
        QCOMPARE(RunUnzip(run.state()), UnzipOutcome::Refused);
        QCOMPARE(run.Milestones(), QStringLiteral("Message"));
        QCOMPARE(run.report().Messages(), QStringList{Messages::SelectZipFile});
        QCOMPARE(run.report().Records().front().caption, Messages::Unzipper);
        QVERIFY(!run.state().busy);
        QVERIFY(!run.state().failed);
    }

    void successReportsInOrderAndTheBarEndsFull() {
        QTemporaryDir dir;
        WorkerRun run;
        run.state().selectedPath = MakeArchive(dir.filePath("photos.zip"));
        run.state().unzipSelected = true;
        QCOMPARE(RunUnzip(run.state()), UnzipOutcome::Succeeded);
        QCOMPARE(run.Milestones(), QStringLiteral("Reset Message Folder Finished"));
        QCOMPARE(run.report().Messages(), QStringList{Messages::UnzipSucceeded});
        // The last step before the message is the worker's own, after the count reached 100.
        QVERIFY(run.StepsBetween(Kind::Reset, Kind::Message) >= 1);
        QCOMPARE(run.state().progressCount.load(), 100);
        QVERIFY(run.state().busy);
        QVERIFY(!run.state().failed);
        const QString destination = dir.filePath("photos");
        const auto records = run.report().Records();
        QVERIFY(std::any_of(records.begin(), records.end(), [&](const auto& record) {
            return record.kind == Kind::Folder && record.text == destination;
        }));
        QCOMPARE(TestTree::Snapshot(destination, false).keys(),
                 (QStringList{"dir", "dir/two.txt", "one.txt", "three.txt"}));
    }

    void tickPeriodComesFromTheArchiveSize() {
        QTemporaryDir dir;
        const QString archive = dir.filePath("big.zip");
        const QString code = QStringLiteral(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_STORED) as z:
    z.writestr('noise.bin', bytes(1000000))
)");
        QCOMPARE(TestTree::RunPython(code, {archive}), 0);
        WorkerRun run;
        run.state().selectedPath = archive;
        run.state().unzipSelected = true;
        RunUnzip(run.state());
        QCOMPARE(run.state().tickPeriod.load(), qint64(3)); // a little over 1,000,000 bytes
    }

    void aCorruptedEntryStopsTheRunAfterTheOnesBeforeIt() {
        QTemporaryDir dir;
        WorkerRun run;
        run.state().selectedPath = MakeArchive(dir.filePath("broken.zip"), true);
        run.state().unzipSelected = true;
        QCOMPARE(RunUnzip(run.state()), UnzipOutcome::Corrupted);
        QCOMPARE(run.report().Messages(), QStringList{Messages::ZipFileCorrupted});
        QCOMPARE(run.Milestones(), QStringLiteral("Reset Message Folder Finished"));
        QCOMPARE(run.state().progressCount.load(), 100);
        QVERIFY(!run.state().failed);
        // The first two entries are on disk, the third left nothing behind.
        QCOMPARE(TestTree::Snapshot(dir.filePath("broken"), false).keys(),
                 (QStringList{"dir", "dir/two.txt", "one.txt"}));
    }

    void aFailurePostsTheEndFirstThenSaysSo_data() {
        QTest::addColumn<bool>("directMode");
        QTest::newRow("main window") << false;
        QTest::newRow("direct mode ends the process") << true;
    }
    void aFailurePostsTheEndFirstThenSaysSo() {
        QFETCH(bool, directMode);
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("notes.zip"), "this is not an archive at all");
        WorkerRun run;
        run.state().selectedPath = dir.filePath("notes.zip");
        run.state().unzipSelected = true;
        run.state().directMode = directMode;
        QCOMPARE(RunUnzip(run.state()), UnzipOutcome::Failed);
        QCOMPARE(run.Milestones(), directMode ? QStringLiteral("Finished Message End")
                                              : QStringLiteral("Finished Message"));
        QCOMPARE(run.report().Messages(), QStringList{Messages::UnzipFailed});
        QVERIFY(run.state().failed);
        if (directMode)
            QCOMPARE(run.report().Records().back().code, 0);
        QVERIFY(!QFileInfo::exists(dir.filePath("notes")));
    }

    void aMissingArchiveFails() {
        QTemporaryDir dir;
        WorkerRun run;
        run.state().selectedPath = dir.filePath("gone.zip");
        run.state().unzipSelected = true;
        QCOMPARE(RunUnzip(run.state()), UnzipOutcome::Failed);
        QCOMPARE(run.state().tickPeriod.load(), qint64(1));
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{});
    }

    void aFileInTheWayGivesTheOneSuffix() {
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("photos"), "a plain file");
        WorkerRun run;
        run.state().selectedPath = MakeArchive(dir.filePath("photos.zip"));
        run.state().unzipSelected = true;
        QCOMPARE(RunUnzip(run.state()), UnzipOutcome::Succeeded);
        QVERIFY(QFileInfo(dir.filePath("photos(1)/one.txt")).isFile());
        QCOMPARE(TestTree::Snapshot(dir.filePath("photos")).size(), 0); // the file is untouched
        QFile original(dir.filePath("photos"));
        QVERIFY(original.open(QIODevice::ReadOnly));
        QCOMPARE(original.readAll(), QByteArray("a plain file"));
    }

    void anEmptyArchiveSucceedsAndLeavesItsFolder() {
        QTemporaryDir dir;
        QCOMPARE(
            TestTree::RunPython("import sys, zipfile; zipfile.ZipFile(sys.argv[1], 'w').close()",
                                {dir.filePath("empty.zip")}),
            0);
        WorkerRun run;
        run.state().selectedPath = dir.filePath("empty.zip");
        run.state().unzipSelected = true;
        QCOMPARE(RunUnzip(run.state()), UnzipOutcome::Succeeded);
        QCOMPARE(run.state().progressCount.load(), 100);
        QVERIFY(QFileInfo(dir.filePath("empty")).isDir());
    }
};

QTEST_GUILESS_MAIN(TestUnzipWorker)
#include "tst_unzipworker.moc"
