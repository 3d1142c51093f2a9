// The progress window of the two direct modes: `tarvo ARCHIVE` for a double-clicked archive, and
// `tarvo --zip PATH` as a file manager's zip entry starts it. The window runs the main window's
// worker on its path as soon as it shows, fills its bar, says what the main window would say,
// shows the folder after a success and ends the run by itself, also after a failure or a
// refusal. The built program on a display is in tst_e2e.
//
// Stopping in the middle: Ctrl-C, TERM, Esc, Enter or the close box during a run stop the worker,
// and what the run wrote goes with it: its staging folder, the entries it had put in place, the
// folders it created, the destination it created, the half-written archive. What stood there
// before stays as it was, an earlier archive byte for byte.

#include "app/ProgramOptions.h"
#include "operation/OperationState.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "support/TestTree.h"
#include "ui/ProgressDLG.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <optional>

namespace {

const QString ZipFailed =
    QStringLiteral("Error: Zipping did not complete. Make sure you have enough disk space!");
const QString UnzipFailed =
    QStringLiteral("Error: Unzipping did not complete. Make sure you have enough disk space and "
                   "the zip file is not corrupt!");

struct Options {
    std::vector<const char*> arguments;
    ProgramOptions::Action action;
    bool zip;
    std::vector<std::string> operands;
};

// given and result are relative to the test folder; no result after a failure.
struct Run {
    DirectOperation operation;
    QString given;
    QString result;
    QString message;
};

enum class Program { Cli, Window, InProcessWindow };

// existing: the destination folder, or the archive, was there before. stop: the signal sent to
// a program, or the key pressed in the window in the test's process (0 for its close box).
struct Row {
    Program program;
    bool zip;
    bool existing;
    int stop;
};

// Small entries first, so some are in place before the large one keeps the run busy for
// seconds on any machine.
const char MakeArchive[] = R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_BZIP2, compresslevel=1) as z:
    for name in ['a/one.txt', 'a/b/two.bin', 'big/large.txt']:
        z.write(sys.argv[2] + '/' + name, name)
)";

} // namespace

Q_DECLARE_METATYPE(Options)
Q_DECLARE_METATYPE(Run)
Q_DECLARE_METATYPE(Row)

class TestProgressDlg : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(m_work.isValid());
        TestTree::WriteFile(Work("source/a/one.txt"), TestTree::TextBytes(20000, 1));
        TestTree::WriteFile(Work("source/a/b/two.bin"), TestTree::RandomBytes(30000, 2));
        TestTree::WriteFile(Work("source/big/large.txt"), TestTree::TextBytes(64 << 20, 3));
        QCOMPARE(TestTree::RunPython(MakeArchive, {Work("data.zip"), Work("source")}), 0);
    }

    // Beside the folder and the file to pack: an archive of the folder, one that is noise,
    // a link to the folder, and an older archive of the folder that is to be replaced.
    void init() {
        m_case.emplace();
        for (const char* item : {"data/photos/a.txt", "data/photos/deep/b.bin=b", "data/report.txt",
                                 "data/noise.zip=no archive", "data/link -> photos"})
            TestTree::Make(m_case->Root(), item);
        QCOMPARE(
            TestTree::Run("zip", {"-q", "-r", Path("data/album.zip"), "."}, Path("data/photos")),
            0);
        QCOMPARE(TestTree::Run("zip", {"-q", Path("data/photos.zip"), Path("data/report.txt")}), 0);
    }
    void cleanup() { m_case.reset(); }

    // How tarvo reads its arguments: --zip chooses the mode wherever it stands before "--";
    // after "--" it is a name like any other.
    void zipOptionChoosesTheMode_data() {
        QTest::addColumn<Options>("options");
        const auto run = ProgramOptions::Run;
        QTest::newRow("--zip PATH") << Options{{"--zip", "photos"}, run, true, {"photos"}};
        QTest::newRow("PATH --zip") << Options{{"photos", "--zip"}, run, true, {"photos"}};
        QTest::newRow("--zip -- -name") << Options{{"--zip", "--", "-name"}, run, true, {"-name"}};
        QTest::newRow("-- --zip: an archive named --zip")
            << Options{{"--", "--zip"}, run, false, {"--zip"}};
        QTest::newRow("--zip alone") << Options{{"--zip"}, run, true, {}};
        QTest::newRow("--zip=PATH is no option")
            << Options{{"--zip=photos"}, ProgramOptions::UsageError, false, {}};
    }
    void zipOptionChoosesTheMode() {
        QFETCH(Options, options);
        options.arguments.insert(options.arguments.begin(), "tarvo");
        const ProgramOptions read = ReadProgramOptions(int(options.arguments.size()),
                                                       options.arguments.data(), {.zip = true});
        QCOMPARE(int(read.action), int(options.action));
        QCOMPARE(read.zip, options.zip);
        QCOMPARE(std::vector<std::string>(read.operands.begin(), read.operands.end()),
                 options.operands);
    }

    // The window stays while its message is up, and the run ends by itself once it is
    // answered. After a failure nothing is written and nothing taken. A launcher that had no
    // path to pass gets the main window's refusal and the run ends as after any other failure,
    // instead of leaving an empty window; not even ".zip" is written in the current folder.
    void runsThePathItIsGiven_data() {
        QTest::addColumn<Run>("run");
        const auto unzip = DirectOperation::Unzip, zip = DirectOperation::Zip;
        const QString zipped = "Zipping completed successfully.";
        QTest::newRow("unzip an archive")
            << Run{unzip, "data/album.zip", "data/album", "Unzipping completed successfully."};
        QTest::newRow("unzip noise") << Run{unzip, "data/noise.zip", {}, UnzipFailed};
        QTest::newRow("zip a folder, replacing an older archive of it")
            << Run{zip, "data/photos", "data/photos.zip", zipped};
        QTest::newRow("zip a file") << Run{zip, "data/report.txt", "data/report.txt.zip", zipped};
        QTest::newRow("zip a link to a folder: packed as the folder")
            << Run{zip, "data/link", "data/link.zip", zipped};
        QTest::newRow("zip what is not there") << Run{zip, "data/gone", {}, ZipFailed};
        QTest::newRow("unzip without a path")
            << Run{unzip, {}, {}, "Error: please select a valid zip file"};
        QTest::newRow("zip without a path")
            << Run{zip, {}, {}, "Please select a file or a folder for zipping "};
    }
    void runsThePathItIsGiven() {
        QFETCH(Run, run);
        QVERIFY(QDir::setCurrent(m_case->Root()));
        const QMap<QString, QString> before = TestTree::Snapshot(Path("data"));
        const QString given = run.given.isEmpty() ? QString() : Path(run.given);
        const QString original = QFileInfo(given).canonicalFilePath();

        UrlCapture urls;
        ProgressDLG window(given, run.operation);
        auto* bar = window.findChild<QProgressBar*>("m_progress");
        int barAtMessage = -1;
        ModalDriver driver;
        driver.Ignore(&window);
        driver.Then(
            Answers::Inspect([&](QWidget*) { barAtMessage = bar->value(); }, Answers::PressOk()));
        // Closed by the test only when it is still up half a minute on.
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, &window, &QDialog::close);
        deadline.start(30000);
        window.exec();
        QVERIFY2(deadline.isActive(), "the run did not end by itself");

        QCOMPARE(driver.Seen().size(), 1);
        QCOMPARE(driver.Seen().constFirst().text, run.message);
        QCOMPARE(driver.Seen().constFirst().owner, &window);
        QVERIFY(driver.Seen().constFirst().ownerStillShown);
        QVERIFY(OperationState::Instance().directMode);
        if (run.result.isEmpty()) {
            QCOMPARE(window.result(), int(QDialog::Rejected));
            QCOMPARE(TestTree::Snapshot(Path("data")), before);
            QCOMPARE(TestTree::Strays(m_case->Root(), {"data"}), QStringList{});
            QVERIFY(urls.Urls().isEmpty());
            return;
        }
        QCOMPARE(barAtMessage, bar->maximum());
        const bool zip = run.operation == DirectOperation::Zip;
        QCOMPARE(urls.Urls(), QList<QUrl>{QUrl::fromLocalFile(Path(zip ? "data" : run.result))});
        if (zip)
            QCOMPARE(TestTree::Run("unzip", {"-q", Path(run.result), "-d", Path("unpacked")}), 0);
        const QMap<QString, QString> made =
            TestTree::Snapshot(Path(zip ? "unpacked" : run.result), false);
        if (zip && QFileInfo(original).isFile())
            QCOMPARE(made.keys(), QStringList{QFileInfo(original).fileName()});
        else
            QCOMPARE(made, TestTree::Snapshot(zip ? original : Path("data/photos"), false));
        // Nothing but the result is new beside what was given.
        const QString name = QFileInfo(run.result).fileName();
        for (const QString& path : TestTree::Snapshot(Path("data")).keys())
            QVERIFY2(before.contains(path) || path == name || path.startsWith(name + '/'),
                     qPrintable(path));
    }

    // Enter ends the progress window as Esc does: it has no button Enter could press instead.
    void stoppedRunLeavesTheTreeAsItWas_data() {
        QTest::addColumn<Row>("row");
        const auto cli = Program::Cli, window = Program::Window,
                   inProcess = Program::InProcessWindow;
        QTest::newRow("cli unzip into an existing folder, TERM") << Row{cli, false, true, SIGTERM};
        QTest::newRow("cli zip, Ctrl-C") << Row{cli, true, false, SIGINT};
        QTest::newRow("cli zip over an earlier archive, TERM") << Row{cli, true, true, SIGTERM};
        QTest::newRow("window unzip, TERM") << Row{window, false, false, SIGTERM};
        QTest::newRow("progress window, Esc") << Row{inProcess, false, true, Qt::Key_Escape};
        QTest::newRow("progress window, close box") << Row{inProcess, false, false, 0};
        QTest::newRow("progress window, Enter") << Row{inProcess, false, false, Qt::Key_Return};
        QTest::newRow("progress window, keypad Enter")
            << Row{inProcess, false, true, Qt::Key_Enter};
        QTest::newRow("zip mode, Esc") << Row{inProcess, true, false, Qt::Key_Escape};
        QTest::newRow("zip mode over an earlier archive, close box")
            << Row{inProcess, true, true, 0};
    }
    void stoppedRunLeavesTheTreeAsItWas() {
        QFETCH(Row, row);
        const auto [program, zip, existing, stop] = row;
        // What an earlier row set up; the source and the archive stay.
        QDir(Work("data")).removeRecursively();
        QFile::remove(Work("source.zip"));
        // Only an archive is ever replaced; this one must come out byte for byte.
        if (existing && zip)
            QVERIFY(QFile::copy(Work("data.zip"), Work("source.zip")));
        if (existing && !zip)
            TestTree::WriteFile(Work("data/mine.txt"), "the user's own file");
        const QMap<QString, QString> before = TestTree::Snapshot(m_work.path());

        // Mid-run: entries already in place below the destination, or the archive's temporary
        // beside it, the one name there that is none of these.
        const QStringList there{"data", "data.zip", "source", "source.zip"};
        const auto midRun = [&] {
            return zip ? !TestTree::Strays(m_work.path(), there).isEmpty()
                       : QFile::exists(Work("data/a/b/two.bin"));
        };

        if (program == Program::InProcessWindow) {
            ProgressDLG window(Work(zip ? "source" : "data.zip"),
                               zip ? DirectOperation::Zip : DirectOperation::Unzip);
            window.show();
            QVERIFY(QTest::qWaitFor(midRun, 60000));
            if (stop == 0)
                window.close();
            else
                QTest::keyClick(&window, Qt::Key(stop),
                                stop == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
            QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 60000);
            QCOMPARE(window.result(), int(QDialog::Rejected));
            QVERIFY(GuiFixture::WaitForProgramThreads());
        } else {
            QProcess process;
            if (program == Program::Cli)
                process.start(TARVO_CLI,
                              {zip ? "zip" : "unzip", Work(zip ? "source" : "data.zip")});
            else
                process.start(TARVO_GUI, {Work("data.zip")});
            QVERIFY(process.waitForStarted());
            QVERIFY(QTest::qWaitFor(
                [&] { return midRun() || process.state() == QProcess::NotRunning; }, 60000));
            QVERIFY2(process.state() == QProcess::Running, "the run ended before it was stopped");
            ::kill(static_cast<pid_t>(process.processId()), stop);
            QVERIFY(process.waitForFinished(60000));
            QCOMPARE(process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(process.exitCode(), 128 + stop);
        }
        QCOMPARE(TestTree::Snapshot(m_work.path()), before);
    }

private:
    QString Path(const QString& relative) const { return m_case->Path(relative); }
    QString Work(const QString& relative) const { return m_work.filePath(relative); }

    QTemporaryDir m_work; // the stopped runs' source and archive, made once
    std::optional<GuiFixture::Case> m_case;
};

QTEST_MAIN(TestProgressDlg)
#include "tst_progressdlg.moc"
