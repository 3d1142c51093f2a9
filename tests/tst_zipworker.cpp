// The zip worker's side of the protocol, through a recording report target, and the archive it
// leaves beside the selection.

#include "archive/Messages.h"
#include "archive/ZipWorker.h"
#include "support/TestTree.h"
#include "support/WorkerRun.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using Kind = RecordingReport::Record::Kind;

namespace {

// "name method" for each entry of an archive, in order, as Python reads it.
QStringList EntriesOf(const QString& archive) {
    QString output;
    const int code = TestTree::RunPython(QStringLiteral(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    assert z.testzip() is None
    for i in z.infolist():
        print(i.filename, i.compress_type)
)"),
                                         {archive}, &output);
    if (code != 0)
        return {QStringLiteral("unreadable: ") + output};
    return output.split(u'\n', Qt::SkipEmptyParts);
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

} // namespace

class TestZipWorker : public QObject {
    Q_OBJECT

private slots:
    void refusesWithNothingSelected() {
        WorkerRun run;
        run.state().busy = true; // raised by the start command
        QCOMPARE(RunZip(run.state()), ZipOutcome::Refused);
        QCOMPARE(run.Milestones(), QStringLiteral("Message"));
        QCOMPARE(run.report().Messages(), QStringList{Messages::SelectToZip});
        QCOMPARE(run.report().Records().front().caption, Messages::Zipper);
        QVERIFY(!run.state().busy);
    }

    void aFolderStepsOnceAtOnceAndOncePerFile() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("photos");
        TestTree::WriteFile(folder + "/a.jpg", TestTree::RandomBytes(3000, 1));
        TestTree::WriteFile(folder + "/sub/b.jpg", TestTree::TextBytes(5000, 2));
        TestTree::WriteFile(folder + "/sub/c.txt", "");
        QDir().mkpath(folder + "/empty");
        WorkerRun run;
        run.state().selectedPath = folder;
        run.state().zipSelected = true;
        run.state().zipFolder = true;
        QCOMPARE(RunZip(run.state()), ZipOutcome::Succeeded);
        QCOMPARE(run.state().stepTotal.load(), 4);
        QCOMPARE(run.Milestones(), QStringLiteral("Reset Message Folder Finished"));
        QCOMPARE(run.StepsBetween(Kind::Reset, Kind::Message), 4);
        QCOMPARE(run.report().Messages(), QStringList{Messages::ZipSucceeded});
        QCOMPARE(run.report().Records().at(run.report().Records().size() - 2).text, dir.path());
        QCOMPARE(run.state().fileList.size(), size_t(3));

        // Entries in walk order, relative, '/'-separated, all BZIP2, no directories.
        QStringList expected;
        for (const std::string& path : run.state().fileList)
            expected << QDir(folder).relativeFilePath(QString::fromStdString(path)) + " 12";
        QCOMPARE(EntriesOf(dir.filePath("photos.zip")), expected);
    }

    void aSingleFileIsStoredUnderItsBareName() {
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("report.txt"), TestTree::TextBytes(1000000, 3));
        // The current directory is somewhere else entirely: the file is read by its full path.
        const QString before = QDir::currentPath();
        QDir::setCurrent(QDir::rootPath());
        WorkerRun run;
        run.state().selectedPath = dir.filePath("report.txt");
        run.state().zipSelected = true;
        run.state().zipFolder = false;
        QCOMPARE(RunZip(run.state()), ZipOutcome::Succeeded);
        QDir::setCurrent(before);
        QCOMPARE(run.state().tickPeriod.load(), qint64(3));
        QCOMPARE(run.state().progressCount.load(), 100);
        QCOMPARE(run.Milestones(), QStringLiteral("Reset Message Folder Finished"));
        QVERIFY(run.StepsBetween(Kind::Reset, Kind::Message) >= 1);
        QCOMPARE(EntriesOf(dir.filePath("report.txt.zip")), QStringList{"report.txt 12"});
    }

    void anArchiveIsZippedIntoAnotherOne() {
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("x.zip"), "PK not really");
        WorkerRun run;
        run.state().selectedPath = dir.filePath("x.zip");
        run.state().zipSelected = true;
        QCOMPARE(RunZip(run.state()), ZipOutcome::Succeeded);
        QCOMPARE(EntriesOf(dir.filePath("x.zip.zip")), QStringList{"x.zip 12"});
    }

    void anEmptyFolderGivesAValidEmptyArchive() {
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath("nothing/inner"));
        WorkerRun run;
        run.state().selectedPath = dir.filePath("nothing");
        run.state().zipSelected = run.state().zipFolder = true;
        QCOMPARE(RunZip(run.state()), ZipOutcome::Succeeded);
        QCOMPARE(run.state().stepTotal.load(), 1);
        QCOMPARE(run.StepsBetween(Kind::Reset, Kind::Message), 1);
        QCOMPARE(EntriesOf(dir.filePath("nothing.zip")), QStringList{});
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
        TestTree::WriteFile(dir.filePath("gone.zip"), "an earlier archive");
        WorkerRun run;
        run.state().selectedPath = dir.filePath("gone");
        run.state().zipSelected = true;
        run.state().zipFolder = folder;
        QCOMPARE(RunZip(run.state()), ZipOutcome::Failed);
        QCOMPARE(run.Milestones(), milestones);
        QCOMPARE(run.report().Messages(), QStringList{Messages::ZipFailed});
        QVERIFY(run.state().failed);
        QCOMPARE(ReadAll(dir.filePath("gone.zip")), QByteArray("an earlier archive"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList{"gone.zip"});
    }

    void specialFilesInTheFolderAreLeftOut() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("tree");
        TestTree::WriteFile(folder + "/real.txt", "content");
        QCOMPARE(::mkfifo(QFile::encodeName(folder + "/pipe").constData(), 0644), 0);
        QVERIFY(QFile::link(folder, folder + "/loop"));
        WorkerRun run;
        run.state().selectedPath = folder;
        run.state().zipSelected = run.state().zipFolder = true;
        QCOMPARE(RunZip(run.state()), ZipOutcome::Succeeded);
        QCOMPARE(EntriesOf(dir.filePath("tree.zip")), QStringList{"real.txt 12"});
    }
};

QTEST_GUILESS_MAIN(TestZipWorker)
#include "tst_zipworker.moc"
