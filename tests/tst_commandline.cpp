// How a command line becomes a path: the archive path the direct mode reads from a Windows
// command line, on the strings Explorer, shortcuts and scripts really produce, and how tarvo
// reads --zip; and, run as a shell runs them on a real tree, the options both built programs
// take and what a path given to tarvo-cli names: the exact bytes of the argument, ".." and links
// as the system resolves them, the folder an archive unpacks into, and the files an operation
// must leave alone.
//
// And the built program on a real (virtual) display, once for each way people start it: for a
// double-clicked archive, from a file manager's zip entry, and by keyboard alone in the main
// window to zip a folder and to unzip an archive, typing paths into the pickers. Each run says
// so over its window, leaves its result beside what it was given, hands the folder to the file
// browser and ends with code 0. What the windows do beyond that is tested offscreen.

#include "app/CommandLine.h"
#include "app/ProgramOptions.h"
#include "support/TestTree.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

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

struct Options {
    std::vector<const char*> arguments;
    ProgramOptions::Action action;
    bool zip;
    std::vector<std::string> operands;
};

// The program starts in the test folder's "elsewhere"; other paths are relative to the test
// folder. keys open a picker in the main window, where chosen is typed; Tab and space then start
// the operation. A result ending in ".zip" is an archive, made beside what was packed, whose
// folder is then shown; an unpacked folder is shown itself.
struct Start {
    QStringList arguments;
    QString keys;
    QString chosen;
    QString result;
};

const QString MainTitle = QStringLiteral("^Tarvo 1.0$");

} // namespace

Q_DECLARE_METATYPE(Options)
Q_DECLARE_METATYPE(Start)

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
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
        QTemporaryDir files;
        const QString dir = files.path();
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
        const auto row = [](const char* name, const Options& row) { QTest::newRow(name) << row; };
        const auto run = ProgramOptions::Run;
        row("--zip PATH", {{"--zip", "photos"}, run, true, {"photos"}});
        row("PATH --zip", {{"photos", "--zip"}, run, true, {"photos"}});
        row("--zip -- -name", {{"--zip", "--", "-name"}, run, true, {"-name"}});
        row("-- --zip: an archive named --zip", {{"--", "--zip"}, run, false, {"--zip"}});
        row("--zip alone", {{"--zip"}, run, true, {}});
        row("--zip=PATH is no option", {{"--zip=photos"}, ProgramOptions::UsageError, false, {}});
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

    void cleanupTestCase() {
        m_server.terminate();
        if (!m_server.waitForFinished(10000))
            m_server.kill();
    }

    // The path on the command line is given relative to another folder, as a file manager may;
    // the direct mode's archive with a blank at the end that is part of its name. The main window's
    // buttons are reached in tab order: Select A File To Unzip has the focus, Unzip is next, Select
    // A Folder To Zip three on, Zip after it.
    void eachWayOfStarting_data() {
        QTest::addColumn<Start>("start");
        const auto row = [](const char* name, const Start& start) { QTest::newRow(name) << start; };
        row("direct mode", {{"../data/photos.zip "}, {}, {}, "data/photos"});
        row("zip mode", {{"--zip", "../original"}, {}, {}, "original.zip"});
        row("zip a folder by keyboard", {{}, "Tab Tab Tab space", "original", "original.zip"});
        row("unzip an archive by keyboard", {{}, "space", "data/photos.zip", "data/photos"});
    }
    void eachWayOfStarting() {
        QFETCH(Start, start);
        REQUIRE_TOOLS("Xvfb", "xdotool");
        if (m_server.state() == QProcess::NotRunning)
            QVERIFY2(StartTheServer(), "the virtual X server did not start");
        QFile::remove(m_session.filePath("opened.txt"));
        QTemporaryDir files;
        const auto path = [&](const QString& relative) { return files.filePath(relative); };
        for (const char* item : {"original/a.txt", "original/pics/b.bin=b", "data/", "elsewhere/"})
            TestTree::Make(files.path(), item);
        QCOMPARE(TestTree::Run("zip", {"-q", "-r", path("data/photos.zip"), "."}, path("original")),
                 0);
        if (start.arguments.value(0).endsWith(' '))
            QVERIFY(QFile::rename(path("data/photos.zip"), path("data/photos.zip ")));
        const bool zip = start.result.endsWith(".zip");
        const QString message = zip ? "^Zipper$" : "^Unzipper$", picker = "^Select ";
        QProcess tarvo;
        tarvo.setWorkingDirectory(path("elsewhere"));
        tarvo.setProcessChannelMode(QProcess::ForwardedChannels);
        tarvo.start(TARVO_GUI, start.arguments);
        if (!start.keys.isEmpty()) {
            QVERIFY2(Press(MainTitle, QStringList{"key"} + start.keys.split(' ')),
                     "the window did not open");
            // The picker, too, gives its name field the focus through its own events: typed
            // too soon, the path's first keys land elsewhere and another folder is taken.
            QVERIFY2(Xdotool({"search", "--sync", "--onlyvisible", "--name", picker}), "no picker");
            QTest::qWait(1000);
            QVERIFY(Press(picker, {"type", "--", path(start.chosen)}));
            QVERIFY(Press(picker, {"key", "Return"}) && Gone(picker));
            // The main window takes the focus back through its own events, which a busy
            // machine may not have handled yet: keys sent before would be lost.
            QTest::qWait(1000);
            QVERIFY(Press(MainTitle, {"key", "Tab", "space"}));
        }
        QVERIFY2(Xdotool({"search", "--sync", "--onlyvisible", "--name", message}),
                 qPrintable("no message " + message));
        QVERIFY2(Xdotool({"search", "--onlyvisible", "--name", MainTitle}),
                 "the window went before its message");
        QVERIFY(Press(message, {"key", "Return"}) && Gone(message));
        if (!start.keys.isEmpty())
            QVERIFY(Press(MainTitle, {"key", "Escape"}));
        QVERIFY(tarvo.waitForFinished(30000));
        QCOMPARE(tarvo.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tarvo.exitCode(), 0);

        if (zip)
            QCOMPARE(TestTree::Run("unzip", {"-q", path(start.result), "-d", path("unpacked")}), 0);
        QCOMPARE(TestTree::Snapshot(path(zip ? "unpacked" : start.result), false),
                 TestTree::Snapshot(path("original"), false));
        // The stand-in browser runs detached from the program; it may still be writing.
        const QString opened = zip ? QFileInfo(path(start.result)).path() : path(start.result);
        QTRY_COMPARE(Opened(), QStringList{QFileInfo(opened).canonicalFilePath()});
    }

private:
    // One server for every run on a display; its programs find a stand-in "xdg-open" first on
    // their PATH, which writes down the path of the file address it is asked to open (the test's
    // paths need no percent-decoding), so no file browser starts. The server takes the first free
    // display itself and writes its number when it is ready. Without -noreset it starts afresh
    // each time its last client leaves, and refuses a program that connects in that moment.
    bool StartTheServer() {
        TestTree::WriteFile(m_session.filePath("bin/xdg-open"),
                            "#!/bin/sh\nrealpath -- \"${1#file://}\" >> '" +
                                QFile::encodeName(m_session.filePath("opened.txt")) + "'\n",
                            0700);
        m_server.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1280x1024x24",
                                                "-nolisten", "tcp", "-noreset"});
        const bool ended = QTest::qWaitFor(
            [&] { return m_server.canReadLine() || m_server.state() == QProcess::NotRunning; },
            30000);
        const QByteArray display = m_server.readLine().trimmed();
        if (!ended || display.isEmpty())
            return false;
        // The programs this test starts inherit its environment; it has no windows of its own,
        // and the other tests start no program that looks at these.
        qputenv("DISPLAY", ':' + display);
        qunsetenv("XAUTHORITY");
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("PATH", QFile::encodeName(m_session.filePath("bin")) + ':' + qgetenv("PATH"));
        // Settings the file dialogs keep stay in the session, and no desktop is guessed at.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_session.filePath("config")));
        for (const char* desktop : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION"})
            qunsetenv(desktop);
        return true;
    }

    // True when xdotool succeeded within a minute; a --sync search waits for its window until
    // then, and is killed when none came.
    static bool Xdotool(const QStringList& arguments) {
        return TestTree::Run(QStringLiteral("xdotool"), arguments, {}, nullptr, 60000) == 0;
    }

    // Waits for the first visible window whose title matches, gives it the keyboard focus
    // (there is no window manager to do it) and runs a "key" or "type" command there.
    static bool Press(const QString& title, const QStringList& command) {
        // Chained after the search, the command would go to the found window by XSendEvent,
        // which the program ignores; on its own it goes to the focused window as typed keys do.
        return Xdotool({"search", "--sync", "--onlyvisible", "--name", title, "windowfocus",
                        "--sync"}) &&
               Xdotool(command);
    }
    static bool Gone(const QString& title) {
        const QStringList search{"search", "--onlyvisible", "--name", title};
        return QTest::qWaitFor([&] { return !Xdotool(search); }, 20000);
    }

    // What the stand-in xdg-open was asked to open, as canonical paths, in order.
    QStringList Opened() const {
        QFile file(m_session.filePath("opened.txt"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir m_session;
    QProcess m_server;
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
