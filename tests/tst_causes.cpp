// Every failure says why: the cause, with the entry and the path involved, as the second line
// of tarvo-cli's error output and as the detailed text of the window's message box. The
// message itself reads as it always did.

#include "operation/OperationState.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "support/TestTree.h"
#include "support/ZipBytes.h"
#include "ui/CTarvoDlg.h"

#include <QDir>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace {

const QString UnzipFailed = QStringLiteral("Error: Unzipping did not complete. Make sure you have "
                                           "enough disk space and the zip file is not corrupt!");
const QString ZipFailed =
    QStringLiteral("Error: Zipping did not complete. Make sure you have enough disk space!");
const QString Corrupted = QStringLiteral("Error: zip file is corrupted!");

// Prepares a case in folder and gives the path to hand to the command.
using CaseBuilder = std::function<QString(const QString& folder)>;

QString WriteArchive(const QString& folder, const QList<ZipBytes::Entry>& entries) {
    const QString path = folder + QStringLiteral("/case.zip");
    TestTree::WriteFile(path, ZipBytes::Build(entries));
    return path;
}

// An entry of a method nothing here decodes; its bytes are never looked at.
CaseBuilder WithMethod(std::uint16_t method) {
    return [method](const QString& folder) {
        ZipBytes::Entry entry = ZipBytes::Stored("packed.bin", "not really compressed");
        entry.method = method;
        return WriteArchive(folder, {ZipBytes::Stored("first.txt", "fine"), entry});
    };
}

// A folder of its own, on a file system of 1 MiB; empty without the rights to mount one.
QString SmallDisk(const QString& folder) {
    const QString mountPoint = folder + QStringLiteral("/small");
    QDir().mkpath(mountPoint);
    if (::mount("tarvo-test", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=1m") !=
        0)
        return {};
    return mountPoint;
}

void ReleaseSmallDisk(const QString& folder) {
    ::umount2(QFile::encodeName(folder + QStringLiteral("/small")).constData(), MNT_DETACH);
}

// Runs tarvo-cli and gives its standard error; as root it runs as nobody when asked, since root
// may read anything.
QString CliErrors(const QString& command, const QString& path, bool asNobody, int* exitCode) {
    QString errors;
    const QString run = asNobody && ::geteuid() == 0
                            ? QStringLiteral("setpriv --reuid=65534 --regid=65534 --clear-groups ")
                            : QString();
    *exitCode = TestTree::Run(
        "bash", {"-c", run + "\"$0\" \"$1\" \"$2\" 2>&1 >/dev/null", TARVO_CLI, command, path},
        QStringLiteral("/"), &errors);
    return errors;
}

} // namespace

class TestCauses : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setApplicationName(QStringLiteral("Tarvo"));
        QStandardPaths::setTestModeEnabled(true);
    }

    void theCauseFollowsTheMessage_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<CaseBuilder>("build");
        QTest::addColumn<bool>("asNobody");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("cause"); // a piece of the second line; %1 is the case folder

        QTest::newRow("no such file")
            << "unzip" << CaseBuilder([](const QString& f) { return f + "/missing.zip"; }) << false
            << UnzipFailed << "cannot open %1/missing.zip: No such file or directory";
        QTest::newRow("permission denied") << "unzip" << CaseBuilder([](const QString& f) {
            const QString path = WriteArchive(f, {ZipBytes::Stored("a.txt", "a")});
            ::chmod(QFile::encodeName(path).constData(), 0);
            return path;
        }) << true << UnzipFailed << "cannot open %1/case.zip: Permission denied";
        QTest::newRow("not a regular file") << "unzip" << CaseBuilder([](const QString& f) {
            QDir().mkpath(f + "/folder.zip");
            return f + "/folder.zip";
        }) << false << UnzipFailed << "%1/folder.zip: it is not a regular file";
        QTest::newRow("not a zip archive") << "unzip" << CaseBuilder([](const QString& f) {
            TestTree::WriteFile(f + "/notes.zip", "plain text, no archive\n");
            return f + "/notes.zip";
        }) << false << UnzipFailed << "%1/notes.zip: the archive cannot be read: it is not a zip";
        QTest::newRow("encrypted") << "unzip" << CaseBuilder([](const QString& f) {
            ZipBytes::Entry secret = ZipBytes::Stored("secret.txt", "ciphertext");
            secret.flags |= 1;
            return WriteArchive(f, {ZipBytes::Stored("open.txt", "plain"), secret});
        }) << false << UnzipFailed << "entry 2 (secret.txt) is encrypted: a password is needed";
        const struct {
            const char* name;
            std::uint16_t method;
        } unreadable[] = {{"Deflate64 (9)", 9}, {"PPMd (98)", 98}, {"Implode (6)", 6}};
        for (const auto& method : unreadable)
            QTest::newRow(method.name)
                << "unzip" << WithMethod(method.method) << false << Corrupted
                << QStringLiteral("entry 2 (packed.bin) uses %1, which this build cannot read")
                       .arg(QLatin1String(method.name));
        QTest::newRow("CRC mismatch") << "unzip" << CaseBuilder([](const QString& f) {
            ZipBytes::Entry damaged = ZipBytes::Stored("damaged.txt", "the stored bytes");
            damaged.crc ^= 1;
            return WriteArchive(f, {damaged});
        }) << false << Corrupted << "entry 1 (damaged.txt): the entry's CRC does not match";
        QTest::newRow("a file in the way")
            << "unzip" << CaseBuilder([](const QString& f) {
                   return WriteArchive(f, {ZipBytes::Stored("a", "a file"),
                                           ZipBytes::Stored("a/b.txt", "below a file")});
               })
            << false << Corrupted
            << "entry 2 (a/b.txt): a file is in the way on the path to %1/case/a/b.txt";
        QTest::newRow("the folder would need more than is free")
            << "unzip" << CaseBuilder([](const QString& f) {
                   ZipBytes::Entry huge = ZipBytes::Stored("huge.bin", "small");
                   huge.size = 1ull << 60;
                   huge.zip64 = true;
                   return WriteArchive(f, {huge});
               })
            << false << UnzipFailed << "it needs 1152921504606846976 bytes, and ";
        QTest::newRow("the disk is full") << "zip" << CaseBuilder([](const QString& f) {
            const QString disk = SmallDisk(f);
            if (disk.isEmpty())
                return QString();
            TestTree::WriteFile(disk + "/noise.bin", TestTree::RandomBytes(700 * 1024, 9));
            return disk + "/noise.bin";
        }) << false << ZipFailed << "the disk is full: cannot write %1/small/noise.bin.zip";
        QTest::newRow("no file to zip")
            << "zip" << CaseBuilder([](const QString& f) { return f + "/gone.txt"; }) << false
            << ZipFailed << "cannot read %1/gone.txt: No such file or directory";
    }
    void theCauseFollowsTheMessage() {
        QFETCH(QString, command);
        QFETCH(CaseBuilder, build);
        QFETCH(bool, asNobody);
        QFETCH(QString, message);
        QFETCH(QString, cause);
        QTemporaryDir dir;
        const QString path = build(dir.path());
        if (path.isEmpty())
            QSKIP("cannot mount a small file system here");
        int exitCode = -1;
        const QStringList lines = CliErrors(command, path, asNobody, &exitCode).split('\n');
        ReleaseSmallDisk(dir.path());
        QCOMPARE(exitCode, 1);
        QCOMPARE(lines.value(0), message);
        QVERIFY2(lines.value(1).contains(QString(cause).replace("%1", dir.path())),
                 qPrintable(lines.join('\n')));
    }

    // The window keeps its text and puts the cause behind "Show Details...".
    void theWindowShowsTheCauseAsDetail_data() {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("cause");
        ZipBytes::Entry damaged = ZipBytes::Stored("damaged.txt", "the stored bytes");
        damaged.crc ^= 1;
        QTest::newRow("a failure") << QByteArray("no archive") << UnzipFailed
                                   << "the archive cannot be read: it is not a zip archive";
        QTest::newRow("a corrupted entry")
            << ZipBytes::Build({damaged}) << Corrupted
            << "entry 1 (damaged.txt): the entry's CRC does not match";
    }
    void theWindowShowsTheCauseAsDetail() {
        QFETCH(QByteArray, archive);
        QFETCH(QString, message);
        QFETCH(QString, cause);
        GuiFixture::ResetOperationState();
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("case.zip"), archive);
        UrlCapture urls;
        CTarvoDlg window;
        window.show();
        ModalDriver driver;
        driver.Then(Answers::TypePathAndAccept(dir.filePath("case.zip"))).Then(Answers::PressOk());
        QTest::mouseClick(window.findChild<QPushButton*>("m_btnSelectUnzip"), Qt::LeftButton);
        QTest::mouseClick(window.findChild<QPushButton*>("m_btnUnzip"), Qt::LeftButton);
        QTRY_COMPARE(driver.Pending(), 0);
        QTRY_VERIFY(!OperationState::Instance().busy);
        QVERIFY(GuiFixture::WaitForProgramThreads());
        const ModalDriver::Record box = driver.Seen().constLast();
        QCOMPARE(box.text, message);
        QVERIFY2(box.detail.contains(cause), qPrintable(box.detail));
    }
};

QTEST_MAIN(TestCauses)
#include "tst_causes.moc"
