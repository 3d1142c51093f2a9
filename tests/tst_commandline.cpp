// How a command line becomes a path: the archive path the direct mode reads from a Windows
// command line, on the strings Explorer, shortcuts and scripts really produce, and how tarvo
// reads --zip; and, run as a shell runs them on a real tree, the options both built programs
// take and what a path given to tarvo-cli names: the exact bytes of the argument, ".." and links
// as the system resolves them, the folder an archive unpacks into, and the files an operation
// must leave alone.

#include "app/CommandLine.h"
#include "app/ProgramOptions.h"
#include "support/TestTree.h"

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

} // namespace

Q_DECLARE_METATYPE(Options)

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
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
