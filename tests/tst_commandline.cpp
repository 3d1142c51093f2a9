// How the programs are started. How a command line becomes a path: the archive path the direct
// mode reads from a Windows command line, on the strings Explorer, shortcuts and scripts really
// produce; and, run as a shell runs them on a real tree, the options both built programs take
// and what a path given to tarvo-cli names: the exact bytes of the argument, ".." and links as
// the system resolves them, the folder an archive unpacks into, and the files an operation must
// leave alone.
//
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

#include "app/CommandLine.h"
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

// Small archives of one entry, and a link to a folder with a look-alike beside it. Folders
// with awkward names; the look-alike of a name that is not UTF-8, U+FFFD in place of the odd
// byte; two names that would be one once stored. Three files to zip with something in the way
// of each archive: notes, a read-only archive and a folder.
const char kTree[] = R"(
mkdir -p box/run box/sub real/x real/b b notes ' n ' café clash/a notes/h.zip
echo inside > inside.txt && zip -q real/bb.zip inside.txt && rm inside.txt
cp real/bb.zip ./-x.zip && cp real/bb.zip box/sub/archive
cp real/bb.zip $'caf\xef\xbf\xbd.zip'
ln -s real/x a
echo real > real/b/file.txt && echo look-alike > b/other.txt && echo x > ' n /f' && echo x > café/f
echo 1 > clash/a/b && echo 2 > 'clash/a\b'
echo data > notes/f && echo my notes > notes/f.zip && echo data > notes/g && echo data > notes/h
cp real/bb.zip notes/g.zip && chmod 444 notes/g.zip
)";

// `cli` runs the built tarvo-cli ($0), `gui` the built tarvo ($1) where no window could open.
int Shell(const QString& script, const QString& folder, QString* output = nullptr) {
    const QString programs = "GUI=\"$1\"; cli() { \"$0\" \"$@\"; }\n"
                             "gui() { env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "
                             "\"$GUI\" \"$@\"; }\n";
    return TestTree::Run("bash", {"-c", programs + script, TARVO_CLI, TARVO_GUI}, folder, output);
}

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

class TestCommandLine : public QObject {
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

    // Rows: the command line, and the path taken from what follows the program name.
    void readsThePathFromTheCommandLine_data() {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("path");
        const auto row = [](const char* name, const QString& raw, const QString& path) {
            QTest::newRow(name) << raw << path;
        };
        const QString path = "C:\\Data\\photos.zip", quoted = '"' + path + '"';
        row("a quoted path, as Explorer opens an archive",
            "\"C:\\Program Files\\Tarvo\\Tarvo.exe\" \"C:\\Users\\Ann\\My photos.zip\"",
            "C:\\Users\\Ann\\My photos.zip");
        row("an unquoted path loses its first and last characters", "Tarvo.exe " + path,
            ":\\Data\\photos.zi");
        row("a blank after the closing quote of the path keeps that quote",
            "\"C:\\Tarvo\\Tarvo.exe\" " + quoted + " ", path + '"');
        row("a tab outside quotes ends the program name", "C:\\Tools\\Tarvo.exe\t" + quoted, path);
        row("quotes in the middle of the program name",
            "C:\\\"Program Files\"\\Tarvo\\Tar\"vo.e\"xe " + quoted, path);
        row("an unclosed quote makes the whole line the program name",
            "\"C:\\Program Files\\Tarvo.exe " + path, "");
        row("control characters after the program name are skipped",
            "Tarvo.exe\x01\x1f\r\n" + quoted, path);
        row("only blanks after the program name", "\"C:\\Tarvo\\Tarvo.exe\"   ", "");
        row("a single character after the program name", "Tarvo.exe x", "");
        row("no argument", "Tarvo.exe", "");
        row("an empty command line", "", "");
        row("characters beyond ASCII pass through", "Tarvo.exe \"D:\\Фото\\日本 2024.zip\"",
            "D:\\Фото\\日本 2024.zip");
    }
    void readsThePathFromTheCommandLine() {
        QFETCH(QString, raw);
        QFETCH(QString, path);
        QCOMPARE(CleanDirectModePath(CommandLineRemainder(raw)), path);
    }

    // Each row runs shell commands in a fresh tree and lists every change they made to it.
    void runAsAShellRunsIt_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QStringList>("says"); // each is in the output, or with "!" is not

        const auto row = [](const char* name, const QString& command, int exitCode,
                            const QStringList& changes, const QStringList& says = {}) {
            QTest::newRow(name) << command << exitCode << changes << says;
        };
        const QStringList bb{"+real/bb", "+real/bb/inside.txt"}, x{"+-x", "+-x/inside.txt"};
        const QString usage = "Usage: tarvo-cli", unzipped = "Unzipping completed successfully.";
        // Options, read before any window could open; messages go to standard error.
        row("tarvo --version", "gui --version", 0, {}, {"Tarvo 1.0.0.1\n"});
        row("tarvo-cli --version", "cli --version", 0, {}, {"tarvo-cli 1.0.0.1\n"});
        row("tarvo: an unknown option", "gui -x.zip", 2, {}, {"Usage: tarvo "});
        row("tarvo-cli: an archive named like an option", "cli unzip -x.zip", 2, {}, {usage});
        row("tarvo-cli: -- then a name starting with -", "cli unzip -- -x.zip", 0, x, {unzipped});
        row("a refusal goes to standard error", "cli unzip '' 2>&1 >/dev/null", 2, {},
            {"Error: please select a valid zip file\n"});
        row("a password file that is not there", "cli unzip --password-file none real/bb.zip", 1,
            {}, {"Error: cannot read the password file none: No such file or directory"});
        row("--password-file without a file", "cli unzip real/bb.zip --password-file", 2, {},
            {usage});
        row("zipping takes no password", "cli zip --password-file=real/bb.zip notes", 2, {},
            {usage});
        // The progress line is for someone watching: on a terminal, unless asked to be quiet. It
        // rewrites itself in place, and is wiped before the closing message.
        const QString onATerminal = "script -qec \"'$0' %1 unzip real/bb.zip\" /dev/null";
        row("progress on a terminal", onATerminal.arg(""), 0, bb,
            {"\r\x1b[K100%  ", "\r\x1b[K" + unzipped});
        row("no progress under -q", onATerminal.arg("-q"), 0, bb, {"!\x1b[K", unzipped});
        row("no progress into a pipe", "cli unzip real/bb.zip 2>&1 | cat", 0, bb,
            {"!\x1b[K", unzipped});
        // Paths: the argument's exact bytes, resolved by the system.
        row("../sub/archive, from a sibling folder", "cd box/run && cli unzip ../sub/archive", 0,
            {"+box/sub/archive(1)", "+box/sub/archive(1)/inside.txt"});
        row("unzip a/../bb.zip, a a link: beside the archive the system opens",
            "cli unzip a/../bb.zip", 0, bb);
        row("zip a/../b, a a link: the folder the system names", "cli zip a/../b", 0,
            {"+real/b.zip"});
        row("zip .: the folder itself, beside it", "cd box/run && cli zip .", 0, {"+box/run.zip"});
        row("zip a link: beside the link", "cli zip a", 0, {"+a.zip"});
        row("a trailing slash names the folder", "cli zip notes/", 0, {"+notes.zip"});
        row("blanks at either end are part of the name", "cli zip ' n '", 0, {"+ n .zip"});
        row("UTF-8", "cli zip café", 0, {"+café.zip"});
        // The tree holds no name that is not UTF-8: QTemporaryDir could not remove it.
        row("a name that is not UTF-8: refused, the look-alike untouched",
            "n=$'caf\\xe9.zip'; cp real/bb.zip \"$n\" && cli unzip \"$n\"; c=$?; rm \"$n\"; exit "
            "$c",
            2, {}, {"caf\\xE9"});
        // What is already there.
        row("an existing file of notes is not replaced", "cli zip notes/f", 1, {},
            {"notes/f.zip is already there and is not a zip archive"});
        row("an existing read-only archive is not replaced", "cli zip notes/g", 1, {},
            {"notes/g.zip is already there and is read-only"});
        row("an existing folder is not replaced", "cli zip notes/h", 1, {},
            {"notes/h.zip is already there and is a folder"});
        row("a FIFO as the archive: refused at once",
            "mkfifo pipe.zip; timeout 20 \"$0\" unzip pipe.zip; code=$?; rm pipe.zip; exit $code",
            1, {});
        row("names that would be one once stored: refused, both named", "cli zip clash", 1, {},
            {"Two files would be stored under one name"});
    }
    void runAsAShellRunsIt() {
        QFETCH(QString, command);
        QFETCH(int, exitCode);
        QFETCH(QStringList, changes);
        QFETCH(QStringList, says);
        const QString dir = m_case->Root();
        QCOMPARE(Shell(kTree, dir), 0);
        const auto before = TestTree::Snapshot(dir, false);
        QString output;
        const int code = Shell(command, dir, &output);
        QVERIFY2(code == exitCode, qPrintable(QString("exit %1: %2").arg(code).arg(output)));
        QCOMPARE(TestTree::Changes(before, TestTree::Snapshot(dir, false)), changes);
        for (const QString& part : says)
            QVERIFY2(output.contains(part.mid(part.startsWith('!'))) != part.startsWith('!'),
                     qPrintable(output));
    }
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

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
