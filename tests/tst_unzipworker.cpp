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
        QTest::addColumn<QStringList>("existing"); // beside the archive: "path=content", "path/"
        QTest::addColumn<QString>("folder");       // or "path -> target"; all left as they were
        QTest::addColumn<QStringList>("entries");
        const QByteArray archive = MakeArchive();
        const auto row = [&](const char* name, const QStringList& existing, const char* folder,
                             const QStringList& entries = kAllEntries) {
            QTest::newRow(name) << archive << existing << folder << entries;
        };
        row("entries", {}, "photos");
        row("a file in the way: the (1) folder, the file untouched", {"photos=plain"}, "photos(1)");
        row("files in the way of photos and photos(1): photos(2)",
            {"photos=plain", "photos(1)=plain"}, "photos(2)");
        row("a folder without clashes is merged into", {"photos/mine.txt=mine"}, "photos",
            {"dir", "dir/two.txt", "mine.txt", "one.txt", "three.txt", "zeros.bin"});
        row("a folder holding a file an entry would replace: the (1) folder",
            {"photos/one.txt=edited"}, "photos(1)");
        row("a folder holding a link where an entry goes", {"photos/one.txt -> elsewhere"},
            "photos(1)");
        row("a folder holding a file where the archive has a folder", {"photos/dir=mine"},
            "photos(1)");
        row("a folder holding a link where the archive has a folder", {"photos/dir -> /tmp"},
            "photos(1)");
        row("photos and photos(1) both clash", {"photos/one.txt=edited", "photos(1)=plain"},
            "photos(2)");
        QTest::newRow("no entries: the folder all the same")
            << ZipBytes::Build({}) << QStringList() << "photos" << QStringList();
    }
    void successReportsInOrderAndTheBarEndsFull() {
        QFETCH(QByteArray, archive);
        QFETCH(QStringList, existing);
        QFETCH(QString, folder);
        QFETCH(QStringList, entries);
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("photos.zip"), archive);
        for (const QString& item : existing) {
            const QString path = dir.filePath(item.section(" -> ", 0, 0).section('=', 0, 0));
            QDir().mkpath(QFileInfo(path).path());
            if (item.contains(" -> "))
                QFile::link(item.section(" -> ", 1), path);
            else
                TestTree::WriteFile(path, item.section('=', 1).toUtf8());
        }
        const auto before = TestTree::Snapshot(dir.path(), false);
        WorkerRun run;
        run.state().selectedPath = dir.filePath("photos.zip");
        run.state().unzipSelected = true;
        QCOMPARE(RunUnzip(run.state()), UnzipOutcome::Succeeded);
        QCOMPARE(run.Milestones(), QStringLiteral("Reset Message Folder Finished"));
        QCOMPARE(run.report().Messages(), QStringList{Messages::UnzipSucceeded});
        // The last step before the message is the worker's own, after the count reached 100.
        QVERIFY(run.StepsBetween(Kind::Reset, Kind::Message) >= 1);
        QCOMPARE(run.state().progressCount.load(), 100);
        QVERIFY(run.state().busy);
        QVERIFY(!run.state().failed);
        // The folder shown is the one written.
        const auto records = run.report().Records();
        QVERIFY(std::any_of(records.begin(), records.end(), [&](const auto& record) {
            return record.kind == Kind::Folder && record.text == dir.filePath(folder);
        }));
        QVERIFY(QFileInfo(dir.filePath(folder)).isDir());
        QCOMPARE(TestTree::Snapshot(dir.filePath(folder), false).keys(), entries);
        // Whatever stood there before stands there still, as it was.
        auto after = TestTree::Snapshot(dir.path(), false);
        for (auto it = before.begin(); it != before.end(); ++it)
            QCOMPARE(after.value(it.key()), it.value());
    }

    void aCorruptedEntryStopsTheRunAfterTheOnesBeforeIt() {
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("broken.zip"), MakeArchive(true));
        WorkerRun run;
        run.state().selectedPath = dir.filePath("broken.zip");
        run.state().unzipSelected = true;
        QCOMPARE(RunUnzip(run.state()), UnzipOutcome::Corrupted);
        QCOMPARE(run.report().Messages(), QStringList{Messages::ZipFileCorrupted});
        QVERIFY2(run.report().Details().value(0).startsWith("entry 3 (three.txt): the bzip2 data"),
                 qPrintable(run.report().Details().value(0)));
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
        QTest::addColumn<QString>("cause");
        QTest::newRow("not an archive")
            << QByteArray("not an archive at all") << false << "it is not a zip archive";
        QTest::newRow("not an archive, direct mode ends the process")
            << QByteArray("not an archive at all") << true << "it is not a zip archive";
        QTest::newRow("no archive there") << QByteArray() << false << "No such file or directory";
    }
    void aFailurePostsTheEndFirstThenSaysSo() {
        QFETCH(QByteArray, content);
        QFETCH(bool, directMode);
        QFETCH(QString, cause);
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
        QVERIFY(run.report().Details().value(0).contains(dir.filePath("notes.zip")));
        QVERIFY(run.report().Details().value(0).contains(cause));
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
        QTest::newRow("counting on past (1)")
            << "photos.zip" << QStringList{"f photos", "l photos(1)", "f photos(2)"} << "photos(3)";
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
