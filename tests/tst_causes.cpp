// Every failure says why: the cause, with the entry and the path involved, as the second line
// of tarvo-cli's error output and as the detailed text of the window's message box. The
// message itself reads as it always did, and the run leaves nothing but the entries it could
// finish.

#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "support/TestTree.h"
#include "support/ZipBytes.h"
#include "ui/ProgressDLG.h"

#include <QDir>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <unistd.h>

namespace {

const QString UnzipFailed = QStringLiteral("Error: Unzipping did not complete. Make sure you have "
                                           "enough disk space and the zip file is not corrupt!");
const QString ZipFailed =
    QStringLiteral("Error: Zipping did not complete. Make sure you have enough disk space!");
const QString Corrupted = QStringLiteral("Error: zip file is corrupted!");

// A name given in "small/" lies on a file system of 1 MiB; one starting with "unreadable" is
// written with mode 0, and tarvo-cli reads it as nobody, since root may read anything.
struct Row {
    QString command;    // tarvo-cli's "unzip" or "zip", or "window": the window's unzip
    QString given;      // the name handed over, in the case folder; ending in "/": a folder
    QByteArray content; // written under that name first; null: nothing is
    QString message;
    QString cause;    // a piece of it; %1 is the case folder
    QStringList left; // what the run leaves in the case folder
};

} // namespace

Q_DECLARE_METATYPE(Row)

class TestCauses : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setApplicationName(QStringLiteral("Tarvo"));
        QStandardPaths::setTestModeEnabled(true);
    }

    void theCauseFollowsTheMessage_data() {
        QTest::addColumn<Row>("row");
        const auto row = [](const char* name, const QString& command, const QString& given,
                            const QByteArray& content, const QString& message, const QString& cause,
                            const QStringList& left = {}) {
            QTest::newRow(name) << Row{command, given, content, message, cause, left};
        };
        const QByteArray none;
        ZipBytes::Entry damaged = ZipBytes::Stored("damaged.txt", "the stored bytes");
        damaged.crc ^= 1;
        ZipBytes::Entry huge = ZipBytes::Stored("huge.bin", "small");
        huge.size = 1ull << 60;
        huge.zip64 = true;

        row("no such file", "unzip", "missing.zip", none, UnzipFailed,
            "cannot open %1/missing.zip: No such file or directory");
        row("permission denied", "unzip", "unreadable.zip", "never read", UnzipFailed,
            "cannot open %1/unreadable.zip: Permission denied");
        row("not a regular file", "unzip", "folder.zip/", none, UnzipFailed,
            "%1/folder.zip: it is not a regular file");
        row("not a zip archive", "unzip", "notes.zip", "plain text, no archive\n", UnzipFailed,
            "%1/notes.zip: the archive cannot be read: it is not a zip");
        row("a file in the way", "unzip", "case.zip",
            ZipBytes::Build(
                {ZipBytes::Stored("a", "a file"), ZipBytes::Stored("a/b.txt", "below")}),
            Corrupted, "entry 2 (a/b.txt): a file is in the way on the path to %1/case/a/b.txt",
            {"case", "case/a"});
        row("the folder would need more than is free", "unzip", "case.zip", ZipBytes::Build({huge}),
            UnzipFailed, "it needs 1152921504606846976 bytes, and ");
        row("the disk is full", "zip", "small/noise.bin", TestTree::RandomBytes(700 * 1024, 9),
            ZipFailed, "the disk is full: cannot write %1/small/noise.bin.zip");
        row("no file to zip", "zip", "gone.txt", none, ZipFailed,
            "cannot read %1/gone.txt: No such file or directory");
        // The window keeps its text and puts the cause behind "Show Details...".
        row("window: a corrupted entry", "window", "case.zip", ZipBytes::Build({damaged}),
            Corrupted, "entry 1 (damaged.txt): the entry's CRC does not match");
    }
    void theCauseFollowsTheMessage() {
        QFETCH(Row, row);
        QTemporaryDir dir;
        const QString folder = dir.path(), path = folder + '/' + row.given;
        const QByteArray small = QFile::encodeName(folder + "/small");
        if (row.given.startsWith("small/")) {
            QVERIFY(QDir().mkpath(small));
            if (::mount("tarvo-test", small.constData(), "tmpfs", 0, "size=1m") != 0)
                QSKIP("cannot mount a small file system here");
        }
        const auto unmount = qScopeGuard([&] { ::umount2(small.constData(), MNT_DETACH); });
        if (row.given.endsWith('/'))
            QDir().mkpath(path);
        else if (!row.content.isNull())
            TestTree::WriteFile(path, row.content, row.given.startsWith("unreadable") ? 0 : -1);
        auto before = TestTree::Snapshot(folder);

        QStringList said; // the message, then the cause
        if (row.command == QLatin1String("window")) {
            // The direct mode's window, whose message box the main window shares.
            UrlCapture urls;
            ProgressDLG window(path);
            ModalDriver driver;
            driver.Ignore(&window);
            driver.Then(Answers::PressOk());
            window.exec();
            QVERIFY(GuiFixture::WaitForProgramThreads());
            GuiFixture::ClearQuitRequest();
            said = QStringList{driver.Seen().constLast().text, driver.Seen().constLast().detail};
        } else { // tarvo-cli's standard error
            const QString nobody = row.given.startsWith("unreadable") && ::geteuid() == 0
                                       ? "setpriv --reuid=65534 --regid=65534 --clear-groups "
                                       : "";
            QString errors;
            QCOMPARE(TestTree::Run("bash",
                                   {"-c", nobody + "\"$0\" \"$1\" \"$2\" 2>&1 >/dev/null",
                                    TARVO_CLI, row.command, path},
                                   QStringLiteral("/"), &errors),
                     1);
            said = errors.split('\n');
        }
        QCOMPARE(said.value(0), row.message);
        QVERIFY2(said.value(1).contains(QString(row.cause).replace("%1", folder)),
                 qPrintable(said.join('\n')));
        for (const QString& kept : row.left)
            before.insert(kept, TestTree::Snapshot(folder).value(kept));
        QCOMPARE(TestTree::Snapshot(folder), before);
    }
};

QTEST_MAIN(TestCauses)
#include "tst_causes.moc"
