// The unzip worker's side of the protocol, through a recording report target: what it says, in
// which order, and what it leaves on disk; and where an archive unpacks to.

#include "archive/Messages.h"
#include "archive/UnzipDestination.h"
#include "archive/UnzipWorker.h"
#include "support/TestTree.h"
#include "support/WorkerRun.h"
#include "support/ZipBytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Kind = RecordingReport::Record::Kind;

namespace {

// Three small BZIP2 files, the third one damaged when asked, and a megabyte of zeros stored.
QByteArray MakeArchive(bool damageThird = false) {
    ZipBytes::Entry third = ZipBytes::Bzip2("three.txt", QByteArray("third entry\n").repeated(50));
    if (damageThird)
        third.body[third.body.size() / 2] =
            static_cast<char>(third.body[third.body.size() / 2] ^ 0x55);
    return ZipBytes::Build(
        {ZipBytes::Bzip2("one.txt", QByteArray("first entry\n").repeated(50)),
         ZipBytes::Bzip2("dir/two.txt", QByteArray("second entry\n").repeated(50)), third,
         ZipBytes::Stored("zeros.bin", QByteArray(1000000, '\0'))});
}

const QStringList kAllEntries{"dir", "dir/two.txt", "one.txt", "three.txt", "zeros.bin"};

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

    void successReportsInOrderAndTheBarEndsFull_data() {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<bool>("fileInTheWay");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<qint64>("tickPeriod"); // from the archive's size
        QTest::newRow("entries") << MakeArchive() << false << "photos" << kAllEntries << qint64{3};
        QTest::newRow("a file in the way: the (1) folder, the file untouched")
            << MakeArchive() << true << "photos(1)" << kAllEntries << qint64{3};
        QTest::newRow("no entries: the folder all the same")
            << ZipBytes::Build({}) << false << "photos" << QStringList() << qint64{1};
    }
    void successReportsInOrderAndTheBarEndsFull() {
        QFETCH(QByteArray, archive);
        QFETCH(bool, fileInTheWay);
        QFETCH(QString, folder);
        QFETCH(QStringList, entries);
        QFETCH(qint64, tickPeriod);
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("photos.zip"), archive);
        if (fileInTheWay)
            TestTree::WriteFile(dir.filePath("photos"), "a plain file");
        WorkerRun run;
        run.state().selectedPath = dir.filePath("photos.zip");
        run.state().unzipSelected = true;
        QCOMPARE(RunUnzip(run.state()), UnzipOutcome::Succeeded);
        QCOMPARE(run.Milestones(), QStringLiteral("Reset Message Folder Finished"));
        QCOMPARE(run.report().Messages(), QStringList{Messages::UnzipSucceeded});
        // The last step before the message is the worker's own, after the count reached 100.
        QVERIFY(run.StepsBetween(Kind::Reset, Kind::Message) >= 1);
        QCOMPARE(run.state().progressCount.load(), 100);
        QCOMPARE(run.state().tickPeriod.load(), tickPeriod);
        QVERIFY(run.state().busy);
        QVERIFY(!run.state().failed);
        const auto records = run.report().Records();
        QVERIFY(std::any_of(records.begin(), records.end(), [&](const auto& record) {
            return record.kind == Kind::Folder && record.text == dir.filePath(folder);
        }));
        QVERIFY(QFileInfo(dir.filePath(folder)).isDir());
        QCOMPARE(TestTree::Snapshot(dir.filePath(folder), false).keys(), entries);
        QFile inTheWay(dir.filePath("photos"));
        QVERIFY(!fileInTheWay ||
                (inTheWay.open(QIODevice::ReadOnly) && inTheWay.readAll() == "a plain file"));
    }

    void aCorruptedEntryStopsTheRunAfterTheOnesBeforeIt() {
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("broken.zip"), MakeArchive(true));
        WorkerRun run;
        run.state().selectedPath = dir.filePath("broken.zip");
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
        QTest::addColumn<QByteArray>("content"); // null: no archive at all
        QTest::addColumn<bool>("directMode");
        QTest::newRow("not an archive") << QByteArray("not an archive at all") << false;
        QTest::newRow("not an archive, direct mode ends the process")
            << QByteArray("not an archive at all") << true;
        QTest::newRow("no archive there") << QByteArray() << false;
    }
    void aFailurePostsTheEndFirstThenSaysSo() {
        QFETCH(QByteArray, content);
        QFETCH(bool, directMode);
        QTemporaryDir dir;
        if (!content.isNull())
            TestTree::WriteFile(dir.filePath("notes.zip"), content);
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
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 content.isNull() ? QStringList() : QStringList{"notes.zip"});
    }

    void destinationRule_data() {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QStringList>("existing"); // "f name", "d name" or "l name"
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing beside it") << "photos.zip" << QStringList{} << "photos";
        QTest::newRow("a file of that name")
            << "photos.zip" << QStringList{"f photos"} << "photos(1)";
        QTest::newRow("only one (1), ever")
            << "photos.zip" << QStringList{"f photos", "f photos(1)"} << "photos(1)";
        QTest::newRow("an existing directory is unpacked into")
            << "photos.zip" << QStringList{"d photos"} << "photos";
        QTest::newRow("a link is not taken for a directory")
            << "photos.zip" << QStringList{"l photos"} << "photos(1)";
        QTest::newRow("last dot only") << "a.b.zip" << QStringList{} << "a.b";
        QTest::newRow("no dot: the archive itself is in the way")
            << "archive" << QStringList{} << "archive(1)";
        QTest::newRow("a dot in a folder name never counts")
            << "my.files/archive" << QStringList{"d my.files", "d my"} << "my.files/archive(1)";
        QTest::newRow("a dot that begins the name is no extension")
            << ".backup" << QStringList{} << ".backup(1)";
        QTest::newRow("nor is the name all extension") << ".zip" << QStringList{} << ".zip(1)";
        QTest::newRow("nor does a cut leave dots alone")
            << "...zip" << QStringList{} << "...zip(1)";
        QTest::newRow("a dot after the first") << ".a.zip" << QStringList{} << ".a";
    }
    void destinationRule() {
        QFETCH(QString, archive);
        QFETCH(QStringList, existing);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        for (const QString& item : existing) {
            const QString path = dir.filePath(item.mid(2));
            if (item.startsWith('f'))
                TestTree::WriteFile(path, "x");
            else if (item.startsWith('d'))
                QDir().mkpath(path);
            else
                QFile::link(dir.filePath("elsewhere"), path);
        }
        TestTree::WriteFile(dir.filePath(archive), "PK");
        QCOMPARE(UnzipDestinationFor(dir.filePath(archive)), dir.filePath(expected));
    }
};

QTEST_GUILESS_MAIN(TestUnzipWorker)
#include "tst_unzipworker.moc"
