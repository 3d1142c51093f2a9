// Both workers' side of the protocol, through a recording report target: what they say, in
// which order, and what they leave on disk; where an archive unpacks to; and many runs in one
// process, after which memory, file descriptors and threads have not grown.

#include "archive/Messages.h"
#include "archive/UnzipDestination.h"
#include "operation/ThreadStart.h"
#include "support/TestTree.h"
#include "support/WorkerRun.h"
#include "support/ZipBytes.h"
#include "support/ZipTools.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

using Kind = RecordingReport::Record::Kind;

namespace {

// Three small BZIP2 files, the third one damaged when asked, and a megabyte of zeros stored.
QByteArray MakeArchive(bool damageThird = false) {
    ZipBytes::Entry third = ZipBytes::Bzip2("three.txt", QByteArray("third entry\n").repeated(50));
    if (damageThird)
        third.body[third.body.size() / 2] ^= 0x55;
    return ZipBytes::Build(
        {ZipBytes::Bzip2("one.txt", QByteArray("first entry\n").repeated(50)),
         ZipBytes::Bzip2("dir/two.txt", QByteArray("second entry\n").repeated(50)), third,
         ZipBytes::Stored("zeros.bin", QByteArray(1000000, '\0'))});
}

// Every name below folder, at any depth, as the file system's bytes.
QList<QByteArray> RawNames(const QByteArray& folder, const QByteArray& prefix = {}) {
    QList<QByteArray> names;
    DIR* dir = ::opendir(folder.constData());
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        names << prefix + entry->d_name;
        if (entry->d_type == DT_DIR)
            names << RawNames(folder + "/" + entry->d_name, prefix + entry->d_name + "/");
    }
    if (dir)
        ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

int Count(const char* folder) {
    return QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

qint64 ResidentBytes() {
    QFile statm("/proc/self/statm");
    statm.open(QIODevice::ReadOnly);
    return statm.readAll().split(' ').value(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

QStringList EntryNames(const QString& archive) {
    QStringList names;
    for (const auto& entry : ZipTools::ListEntries(archive))
        names << entry.toObject()["text"].toString();
    names.sort();
    return names;
}

QString OpenedFolder(const RecordingReport& report) {
    for (const auto& record : report.Records())
        if (record.kind == Kind::Folder)
            return record.text;
    return {};
}

} // namespace

class TestWorkers : public QObject {
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

    // Rows: what stands beside the archive ("path=content", "path -> target"; all left as it
    // was), the folder it goes to and what that holds after. A damaged third entry stops the
    // run after the two before it.
    void unzipReportsInOrderAndTheBarEndsFull_data() {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QStringList>("entries");
        const QByteArray archive = MakeArchive();
        const QStringList all{"dir", "dir/two.txt", "one.txt", "three.txt", "zeros.bin"};
        const auto row = [&](const char* name, const QStringList& existing, const char* folder,
                             const QStringList& entries) {
            QTest::newRow(name) << archive << existing << folder << entries;
        };
        row("entries", {}, "photos", all);
        row("a file in the way: the (1) folder, the file untouched", {"photos=plain"}, "photos(1)",
            all);
        row("files in the way of photos and photos(1): photos(2)",
            {"photos=plain", "photos(1)=plain"}, "photos(2)", all);
        row("a folder without clashes is merged into", {"photos/mine.txt=mine"}, "photos",
            {"dir", "dir/two.txt", "mine.txt", "one.txt", "three.txt", "zeros.bin"});
        row("a folder holding a file an entry would replace: the (1) folder",
            {"photos/one.txt=edited"}, "photos(1)", all);
        row("a folder holding a link where an entry goes", {"photos/one.txt -> elsewhere"},
            "photos(1)", all);
        row("a folder holding a file where the archive has a folder", {"photos/dir=mine"},
            "photos(1)", all);
        row("a folder holding a link where the archive has a folder", {"photos/dir -> /tmp"},
            "photos(1)", all);
        row("photos and photos(1) both clash", {"photos/one.txt=edited", "photos(1)=plain"},
            "photos(2)", all);
        QTest::newRow("no entries: the folder all the same")
            << ZipBytes::Build({}) << QStringList() << "photos" << QStringList();
        QTest::newRow("a corrupted entry") << MakeArchive(true) << QStringList() << "photos"
                                           << QStringList{"dir", "dir/two.txt", "one.txt"};
    }
    void unzipReportsInOrderAndTheBarEndsFull() {
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
        const bool corrupted = QTest::currentDataTag() == QLatin1String("a corrupted entry");
        QCOMPARE(run.Unzip(dir.filePath("photos.zip")),
                 corrupted ? UnzipOutcome::Corrupted : UnzipOutcome::Succeeded);
        QCOMPARE(run.Milestones(), QStringLiteral("Reset Message Folder Finished"));
        QCOMPARE(run.report().Messages(),
                 QStringList{corrupted ? Messages::ZipFileCorrupted : Messages::UnzipSucceeded});
        if (corrupted)
            QVERIFY2(
                run.report().Details().value(0).startsWith("entry 3 (three.txt): the bzip2 data"),
                qPrintable(run.report().Details().value(0)));
        // The last step before the success message is the worker's own, after the count reached
        // 100; a corrupted entry is told of at once.
        QVERIFY(corrupted || run.StepsBetween(Kind::Reset, Kind::Message) >= 1);
        QCOMPARE(run.state().progressCount.load(), 100);
        QVERIFY(run.state().busy);
        QVERIFY(!run.state().failed);
        // The folder shown is the one written.
        QCOMPARE(OpenedFolder(run.report()), dir.filePath(folder));
        QCOMPARE(TestTree::Snapshot(dir.filePath(folder), false).keys(), entries);
        // Whatever stood there before stands there still, as it was.
        auto after = TestTree::Snapshot(dir.path(), false);
        for (auto it = before.begin(); it != before.end(); ++it)
            QCOMPARE(after.value(it.key()), it.value());
    }

    // The end is posted before the message (whose cause tst_causes reads); nothing is left
    // beside the selection, an older archive of the name is kept as it was.
    void aFailureSaysSoAndLeavesTheFolderAsItWas_data() {
        QTest::addColumn<bool>("zip");
        QTest::addColumn<bool>("folderOrDirect"); // a folder to zip, or the direct mode
        QTest::addColumn<QByteArray>("content");  // of gone.zip; null: none there
        QTest::addColumn<QString>("milestones");
        const QByteArray junk("not an archive at all");
        const QByteArray earlier = ZipBytes::Build({ZipBytes::Stored("old.txt", "earlier")});
        QTest::newRow("unzip: not an archive") << false << false << junk << "Finished Message";
        QTest::newRow("unzip: direct mode ends the process")
            << false << true << junk << "Finished Message End";
        QTest::newRow("unzip: no archive there")
            << false << false << QByteArray() << "Finished Message";
        // A single file is measured and the bar reset before the file is read.
        QTest::newRow("zip: missing file") << true << false << earlier << "Reset Finished Message";
        QTest::newRow("zip: missing folder") << true << true << earlier << "Finished Message";
    }
    void aFailureSaysSoAndLeavesTheFolderAsItWas() {
        QFETCH(bool, zip);
        QFETCH(bool, folderOrDirect);
        QFETCH(QByteArray, content);
        QFETCH(QString, milestones);
        QTemporaryDir dir;
        if (!content.isNull())
            TestTree::WriteFile(dir.filePath("gone.zip"), content);
        const auto before = TestTree::Snapshot(dir.path());
        WorkerRun run;
        if (zip)
            QCOMPARE(run.Zip(dir.filePath("gone"), folderOrDirect), ZipOutcome::Failed);
        else
            QCOMPARE(run.Unzip(dir.filePath("gone.zip"), folderOrDirect), UnzipOutcome::Failed);
        QCOMPARE(run.Milestones(), milestones);
        QCOMPARE(run.report().Messages(),
                 QStringList{zip ? Messages::ZipFailed : Messages::UnzipFailed});
        QVERIFY(run.state().failed);
        if (!zip && folderOrDirect)
            QCOMPARE(run.report().Records().back().code, 0);
        QCOMPARE(TestTree::Snapshot(dir.path()), before);
        QCOMPARE(TestTree::Strays(dir.path(), {"gone.zip"}), QStringList());
    }

    // Rows: the archive's name, and what stands beside it: "f name", "d name" or "l name".
    void destinationRule_data() {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QStringList>("existing");
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

    // Rows: paths written below the folder ("x/" is a folder), the selection, the steps before
    // the message (a folder's bar: one at once, one per file, and 100 for its bytes when it has
    // any; 0: a single file's ticks) and the entries.
    void zipsTheSelection_data() {
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<int>("steps");
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("a folder: one step at once, one per file and its bytes")
            << QStringList{"photos/a.jpg", "photos/sub/b.jpg", "photos/sub/c.txt", "photos/empty/"}
            << "photos" << true << 104 << QStringList{"a.jpg", "sub/b.jpg", "sub/c.txt"};
        QTest::newRow("an empty folder: one step and an archive with no entries")
            << QStringList{"nothing/inner/"} << "nothing" << true << 1 << QStringList{};
        QTest::newRow("a single file: stored under its bare name")
            << QStringList{"report.txt"} << "report.txt" << false << 0 << QStringList{"report.txt"};
        QTest::newRow("an archive: zipped into another one")
            << QStringList{"x.zip"} << "x.zip" << false << 0 << QStringList{"x.zip"};
    }
    void zipsTheSelection() {
        QFETCH(QStringList, paths);
        QFETCH(QString, selected);
        QFETCH(bool, folder);
        QFETCH(int, steps);
        QFETCH(QStringList, entries);
        QTemporaryDir dir;
        for (const QString& path : paths)
            if (path.endsWith('/'))
                QDir().mkpath(dir.filePath(path));
            else
                TestTree::WriteFile(dir.filePath(path), TestTree::TextBytes(1'000'000, 1));
        // The current directory is somewhere else entirely: files are read by their full path.
        const QString before = QDir::currentPath();
        QDir::setCurrent(QDir::rootPath());
        WorkerRun run;
        QCOMPARE(run.Zip(dir.filePath(selected), folder), ZipOutcome::Succeeded);
        QDir::setCurrent(before);
        QCOMPARE(run.Milestones(), QStringLiteral("Reset Message Folder Finished"));
        QCOMPARE(run.report().Messages(), QStringList{Messages::ZipSucceeded});
        // The ticker may still post a step after the folder is opened, so it is found by kind.
        QCOMPARE(OpenedFolder(run.report()), dir.path());
        if (folder) {
            QCOMPARE(run.state().stepTotal.load(), steps);
            QCOMPARE(run.StepsBetween(Kind::Reset, Kind::Message), steps);
        } else {
            QCOMPARE(run.state().progressCount.load(), 100);
        }
        QCOMPARE(EntryNames(dir.filePath(selected + ".zip")), entries);
    }

    // Qt cannot name such files; they are made by their bytes, a file and a folder of the name.
    void namesComeBackFromOurOwnUnzipAsTheirBytes_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("UTF-8") << QByteArray("caf\xc3\xa9");
        QTest::newRow("Latin-1") << QByteArray("lat\xe9in");
        QTest::newRow("an encoded surrogate") << QByteArray("half\xed\xa0\x80");
        QTest::newRow("an overlong form") << QByteArray("long\xc1\xbf");
    }
    void namesComeBackFromOurOwnUnzipAsTheirBytes() {
        QFETCH(QByteArray, name);
        QTemporaryDir dir;
        const QByteArray pack = QFile::encodeName(dir.filePath("pack"));
        QVERIFY(::mkdir(pack.constData(), 0755) == 0 &&
                ::mkdir((pack + "/" + name).constData(), 0755) == 0);
        for (const QByteArray& file : {pack + "/" + name + ".txt", pack + "/" + name + "/inner"}) {
            const int fd = ::open(file.constData(), O_WRONLY | O_CREAT, 0644);
            QVERIFY(fd >= 0 && ::write(fd, "x", 1) == 1 && ::close(fd) == 0);
        }
        QCOMPARE(WorkerRun().Zip(dir.filePath("pack"), true), ZipOutcome::Succeeded);
        QVERIFY(QFile::rename(dir.filePath("pack.zip"), dir.filePath("copy.zip")));
        QCOMPARE(WorkerRun().Unzip(dir.filePath("copy.zip")), UnzipOutcome::Succeeded);
        QCOMPARE(RawNames(QFile::encodeName(dir.filePath("copy"))), RawNames(pack));
    }

    // What could not be packed, or was packed while it changed, is told beside the success
    // message, which itself stays word for word. Rows: "file", "link -> target", "fifo|".
    void tellsWhatWasLeftOutOrChanged_data() {
        QTest::addColumn<QStringList>("tree");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("detail"); // %1 is the folder
        QTest::newRow("nothing to tell") << QStringList{"plain"} << QStringList{"plain"} << "";
        QTest::newRow("a link to a /proc file is stored as it reads")
            << QStringList{"plain", "status -> /proc/self/status"} << QStringList{"plain", "status"}
            << "1 file changed size while it was read and was stored as read: %1/status";
        QTest::newRow("a FIFO and a device are left out and counted")
            << QStringList{"plain", "fifo|", "zeros -> /dev/zero"} << QStringList{"plain"}
            << "2 special files (FIFOs, sockets or devices) were left out, the first: %1/";
        QTest::newRow("one FIFO")
            << QStringList{"plain", "fifo|"} << QStringList{"plain"}
            << "1 special file (a FIFO, socket or device) was left out: %1/fifo";
    }
    void tellsWhatWasLeftOutOrChanged() {
        QFETCH(QStringList, tree);
        QFETCH(QStringList, entries);
        QFETCH(QString, detail);
        QTemporaryDir dir;
        const QString folder = dir.filePath("F");
        QVERIFY(QDir().mkpath(folder));
        for (const QString& item : tree) {
            const QString path = folder + "/" + item.section(" -> ", 0, 0);
            if (item.contains(" -> "))
                QVERIFY(QFile::link(item.section(" -> ", 1), path));
            else if (item.endsWith('|'))
                QCOMPARE(::mkfifo(QFile::encodeName(path.chopped(1)).constData(), 0644), 0);
            else
                TestTree::WriteFile(path, "plain\n");
        }
        WorkerRun run;
        QCOMPARE(run.Zip(folder, true), ZipOutcome::Succeeded);
        QCOMPARE(run.report().Messages(), QStringList{Messages::ZipSucceeded});
        const QString told = run.report().Details().value(0);
        const QString expected = detail.contains("%1") ? detail.arg(folder) : detail;
        QVERIFY2(expected.endsWith('/') ? told.startsWith(expected) : told == expected,
                 qPrintable(told));
        QCOMPARE(EntryNames(folder + ".zip"), entries);
        for (const auto& entry : ZipTools::ListEntries(folder + ".zip"))
            QVERIFY(entry.toObject()["size"].toInteger() > 0); // a /proc file too
    }

    // 250 zips and 250 unzips, after some to let allocators, pools and caches settle.
    void manyRunsLeaveNothingBehind() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("data");
        for (int i = 0; i < 12; ++i)
            TestTree::WriteFile(QString("%1/sub%2/file%3.txt").arg(folder).arg(i % 3).arg(i),
                                TestTree::TextBytes(20000 + i * 1000, i));
        const auto original = TestTree::Snapshot(folder);
        // The folder itself is in the way, so each unzip goes beside it, into data(1).
        const auto zipAndUnzip = [&] {
            QCOMPARE(WorkerRun().Zip(folder, true), ZipOutcome::Succeeded);
            QCOMPARE(WorkerRun().Unzip(folder + ".zip"), UnzipOutcome::Succeeded);
            QVERIFY(QDir(folder + "(1)").removeRecursively());
        };
        for (int i = 0; i < 20; ++i)
            zipAndUnzip();
        const int descriptors = Count("/proc/self/fd");
        const int threads = Count("/proc/self/task");
        const qint64 resident = ResidentBytes();
        for (int i = 0; i < 250; ++i)
            zipAndUnzip();
        QCOMPARE(TestTree::Snapshot(folder), original);
        QCOMPARE(RunningThreadCount(), 0);
        QCOMPARE(Count("/proc/self/fd"), descriptors);
        QTRY_COMPARE(Count("/proc/self/task"), threads);
        const qint64 growth = ResidentBytes() - resident;
        QVERIFY2(growth < 16 * 1024 * 1024,
                 qPrintable(QString("resident memory grew by %1 KiB").arg(growth / 1024)));
        QCOMPARE(TestTree::Strays(dir.path(), {"data", "data.zip"}), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestWorkers)
#include "tst_workers.moc"
