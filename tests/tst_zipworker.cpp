// The zip worker's side of the protocol, through a recording report target, and the archive it
// leaves beside the selection.

#include "archive/Messages.h"
#include "archive/UnzipWorker.h"
#include "archive/ZipWorker.h"
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

} // namespace

class TestZipWorker : public QObject {
    Q_OBJECT

private slots:
    void zipsTheSelection_data() {
        QTest::addColumn<QStringList>("paths"); // written below the folder; "x/" is a folder
        QTest::addColumn<QString>("selected");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<int>("steps"); // steps before the message; 0: a single file's ticks
        // A folder's bar: one step at once, one per file, and 100 for its bytes when it has any.
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
        run.state().selectedPath = dir.filePath(selected);
        run.state().zipSelected = true;
        run.state().zipFolder = folder;
        QCOMPARE(RunZip(run.state()), ZipOutcome::Succeeded);
        QDir::setCurrent(before);

        QCOMPARE(run.Milestones(), QStringLiteral("Reset Message Folder Finished"));
        QCOMPARE(run.report().Messages(), QStringList{Messages::ZipSucceeded});
        // The ticker may still post a step after the folder is opened, so it is found by kind.
        const auto records = run.report().Records();
        const auto opened = std::find_if(records.begin(), records.end(), [](const auto& record) {
            return record.kind == RecordingReport::Record::Folder;
        });
        QVERIFY(opened != records.end());
        QCOMPARE(opened->text, dir.path());
        if (folder) {
            QCOMPARE(run.state().stepTotal.load(), steps);
            QCOMPARE(run.StepsBetween(Kind::Reset, Kind::Message), steps);
        } else {
            QCOMPARE(run.state().progressCount.load(), 100);
        }
        QStringList names;
        for (const auto& entry : ZipTools::ListEntries(dir.filePath(selected + ".zip")))
            names << entry.toObject()["text"].toString();
        names.sort();
        QCOMPARE(names, entries);
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
        WorkerRun zip;
        zip.state().selectedPath = dir.filePath("pack");
        zip.state().zipSelected = zip.state().zipFolder = true;
        QCOMPARE(RunZip(zip.state()), ZipOutcome::Succeeded);
        QVERIFY(QFile::rename(dir.filePath("pack.zip"), dir.filePath("copy.zip")));
        WorkerRun unzip;
        unzip.state().selectedPath = dir.filePath("copy.zip");
        unzip.state().unzipSelected = true;
        QCOMPARE(RunUnzip(unzip.state()), UnzipOutcome::Succeeded);
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
        run.state().selectedPath = folder;
        run.state().zipSelected = true;
        run.state().zipFolder = true;
        QCOMPARE(RunZip(run.state()), ZipOutcome::Succeeded);
        QCOMPARE(run.report().Messages(), QStringList{Messages::ZipSucceeded});
        QString told;
        for (const auto& record : run.report().Records())
            if (record.kind == Kind::Message)
                told = record.detail;
        const QString expected = detail.contains("%1") ? detail.arg(folder) : detail;
        QVERIFY2(expected.endsWith('/') ? told.startsWith(expected) : told == expected,
                 qPrintable(told));

        QStringList names;
        for (const auto& entry : ZipTools::ListEntries(folder + ".zip")) {
            names << entry.toObject()["text"].toString();
            QVERIFY(entry.toObject()["size"].toInteger() > 0); // a /proc file too
        }
        names.sort();
        QCOMPARE(names, entries);
    }

    void aFailureLeavesNoArchiveAndKeepsAnOldOne_data() {
        QTest::addColumn<bool>("folder");
        QTest::addColumn<QString>("milestones");
        // A single file is measured and the bar reset before the file is read.
        QTest::newRow("missing file") << false << "Reset Finished Message";
        QTest::newRow("missing folder") << true << "Finished Message";
    }
    void aFailureLeavesNoArchiveAndKeepsAnOldOne() {
        QFETCH(bool, folder);
        QFETCH(QString, milestones);
        QTemporaryDir dir;
        const QByteArray earlier = ZipBytes::Build({ZipBytes::Stored("old.txt", "earlier")});
        TestTree::WriteFile(dir.filePath("gone.zip"), earlier);
        WorkerRun run;
        run.state().selectedPath = dir.filePath("gone");
        run.state().zipSelected = true;
        run.state().zipFolder = folder;
        QCOMPARE(RunZip(run.state()), ZipOutcome::Failed);
        QCOMPARE(run.Milestones(), milestones);
        QCOMPARE(run.report().Messages(), QStringList{Messages::ZipFailed});
        QVERIFY(run.state().failed);
        QFile old(dir.filePath("gone.zip"));
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), earlier);
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList{"gone.zip"});
    }
};

QTEST_GUILESS_MAIN(TestZipWorker)
#include "tst_zipworker.moc"
