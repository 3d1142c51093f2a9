// Stopping in the middle: Ctrl-C, TERM, Esc or the close box during a run stop the worker, and
// what the run wrote goes with it: its staging folder, the entries it had put in place, the
// folders it created, the destination it created, the half-written archive. What stood there
// before stays as it was, an earlier archive byte for byte.

#include "operation/OperationState.h"
#include "support/GuiFixture.h"
#include "support/TestTree.h"
#include "ui/ProgressDLG.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

enum class Stop { Interrupt, Terminate, Escape, CloseBox };
enum class Program { Cli, Window, InProcessWindow };

// Small entries first, so some are in place before the large one keeps the run busy for
// seconds on any machine.
const char MakeArchive[] = R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_BZIP2, compresslevel=1) as z:
    for name in ['a/one.txt', 'a/b/two.bin', 'big/large.txt']:
        z.write(sys.argv[2] + '/' + name, name)
)";

} // namespace

Q_DECLARE_METATYPE(Stop)
Q_DECLARE_METATYPE(Program)

class TestStop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(m_work.isValid());
        TestTree::WriteFile(Path("source/a/one.txt"), TestTree::TextBytes(20000, 1));
        TestTree::WriteFile(Path("source/a/b/two.bin"), TestTree::RandomBytes(30000, 2));
        TestTree::WriteFile(Path("source/big/large.txt"), TestTree::TextBytes(64 << 20, 3));
        QCOMPARE(TestTree::RunPython(MakeArchive, {Path("data.zip"), Path("source")}), 0);
    }

    void init() {
        GuiFixture::ResetOperationState();
        // What an earlier row may have left; the source and the archive stay.
        QDir(Path("data")).removeRecursively();
        for (const QString& name : QDir(m_work.path()).entryList(QDir::Files | QDir::Hidden))
            if (name != QLatin1String("data.zip"))
                QFile::remove(Path(name));
    }

    void stoppedRunLeavesTheTreeAsItWas_data() {
        QTest::addColumn<Program>("program");
        QTest::addColumn<bool>("zip");
        QTest::addColumn<bool>("existing"); // the destination folder, or the archive, was there
        QTest::addColumn<Stop>("stop");
        QTest::newRow("cli unzip, Ctrl-C") << Program::Cli << false << false << Stop::Interrupt;
        QTest::newRow("cli unzip into an existing folder, TERM")
            << Program::Cli << false << true << Stop::Terminate;
        QTest::newRow("cli zip, Ctrl-C") << Program::Cli << true << false << Stop::Interrupt;
        QTest::newRow("cli zip over an earlier archive, TERM")
            << Program::Cli << true << true << Stop::Terminate;
        QTest::newRow("window unzip, TERM") << Program::Window << false << false << Stop::Terminate;
        QTest::newRow("progress window, Esc")
            << Program::InProcessWindow << false << true << Stop::Escape;
        QTest::newRow("progress window, close box")
            << Program::InProcessWindow << false << false << Stop::CloseBox;
    }
    void stoppedRunLeavesTheTreeAsItWas() {
        QFETCH(Program, program);
        QFETCH(bool, zip);
        QFETCH(bool, existing);
        QFETCH(Stop, stop);
        // Only an archive is ever replaced; this one must come out byte for byte.
        if (existing && zip)
            QVERIFY(QFile::copy(Path("data.zip"), Path("source.zip")));
        if (existing && !zip)
            TestTree::WriteFile(Path("data/mine.txt"), "the user's own file");
        const QMap<QString, QString> before = TestTree::Snapshot(m_work.path());

        // Mid-run: entries already in place below the destination, or the archive's temporary
        // beside it.
        const auto midRun = [&] {
            if (!zip)
                return QFile::exists(Path("data/a/b/two.bin"));
            return !QDir(m_work.path())
                        .entryList({QStringLiteral(".source.zip.tarvo-*")},
                                   QDir::Files | QDir::Hidden)
                        .isEmpty();
        };

        if (program == Program::InProcessWindow) {
            ProgressDLG window(Path("data.zip"));
            window.show();
            QVERIFY(QTest::qWaitFor(midRun, 60000));
            if (stop == Stop::Escape)
                QTest::keyClick(&window, Qt::Key_Escape);
            else
                window.close();
            QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 60000);
            QVERIFY(GuiFixture::WaitForProgramThreads());
        } else {
            QProcess process;
            if (program == Program::Cli)
                process.start(TARVO_CLI,
                              {zip ? "zip" : "unzip", Path(zip ? "source" : "data.zip")});
            else
                process.start(TARVO_GUI, {Path("data.zip")});
            QVERIFY(process.waitForStarted());
            QVERIFY(QTest::qWaitFor(
                [&] { return midRun() || process.state() == QProcess::NotRunning; }, 60000));
            QVERIFY2(process.state() == QProcess::Running, "the run ended before it was stopped");
            const int signal = stop == Stop::Interrupt ? SIGINT : SIGTERM;
            ::kill(static_cast<pid_t>(process.processId()), signal);
            QVERIFY(process.waitForFinished(60000));
            QCOMPARE(process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(process.exitCode(), 128 + signal);
        }
        QCOMPARE(TestTree::Snapshot(m_work.path()), before);
    }

private:
    QString Path(const QString& relative) const { return m_work.filePath(relative); }

    QTemporaryDir m_work;
};

QTEST_MAIN(TestStop)
#include "tst_stop.moc"
