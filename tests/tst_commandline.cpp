// How a command-line argument becomes a path: the exact bytes of an argument as tarvo-cli and
// the direct mode take it, and the archive path the direct mode reads from a Windows command
// line, on the strings Explorer, shortcuts and scripts really produce; and the options both
// built programs take, run as a shell runs them.

#include "app/CommandLine.h"
#include "archive/PathRefusal.h"
#include "archive/ResolvedPath.h"
#include "support/TestTree.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void anArgumentIsItsExactBytes_data() {
        QTest::addColumn<QByteArray>("argument");
        QTest::addColumn<QString>("path"); // below the current folder; null: refused
        QTest::newRow("a blank at the end is part of the name")
            << QByteArray("report.zip ") << "report.zip ";
        QTest::newRow("so is one at the start") << QByteArray(" report.zip") << " report.zip";
        QTest::newRow("UTF-8") << QByteArray("caf\xc3\xa9.zip") << QStringLiteral("café.zip");
        QTest::newRow("not UTF-8: refused, not read as a look-alike")
            << QByteArray("caf\xe9.zip") << QString();
        QTest::newRow("a trailing slash names the folder") << QByteArray("box/") << "box";
        QTest::newRow("\".\" is the folder itself") << QByteArray("box/.") << "box";
    }
    void anArgumentIsItsExactBytes() {
        QFETCH(QByteArray, argument);
        QFETCH(QString, path);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("box"));
        const QString before = QDir::currentPath();
        QDir::setCurrent(dir.path());
        const QString current = QDir::currentPath();
        try {
            const QString resolved = ArgumentPath(argument);
            QDir::setCurrent(before);
            QVERIFY(!path.isNull());
            QCOMPARE(resolved, current + "/" + path);
        } catch (const PathRefusal& refusal) {
            QDir::setCurrent(before);
            QVERIFY(path.isNull());
            QVERIFY2(QByteArray(refusal.what()).contains("caf\\xE9.zip"), refusal.what());
        }
    }

    // Rows: the command line, what follows the program name, and the path taken from it.
    void readsThePathFromTheCommandLine_data() {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("remainder");
        QTest::addColumn<QString>("path");
        const auto row = [](const char* name, const QString& raw, const QString& remainder,
                            const QString& path) {
            QTest::newRow(name) << raw << remainder << path;
        };
        const QString photos = "\"C:\\Data\\photos.zip\"";
        row("a quoted path, as Explorer opens an archive",
            "\"C:\\Program Files\\Tarvo\\Tarvo.exe\" \"C:\\Users\\Ann\\My photos.zip\"",
            "\"C:\\Users\\Ann\\My photos.zip\"", "C:\\Users\\Ann\\My photos.zip");
        row("an unquoted path loses its first and last characters",
            "Tarvo.exe C:\\Data\\photos.zip", "C:\\Data\\photos.zip", ":\\Data\\photos.zi");
        row("two quoted names not separated are all program name",
            "\"C:\\Tarvo\\Tarvo.exe\"" + photos, "", "");
        row("blanks after the closing quote of the program name are skipped",
            "\"C:\\Tarvo\\Tarvo.exe\"    " + photos, photos, "C:\\Data\\photos.zip");
        row("a blank after the closing quote of the path keeps that quote",
            "\"C:\\Tarvo\\Tarvo.exe\" " + photos + " ", photos + " ", "C:\\Data\\photos.zip\"");
        row("an empty quoted argument gives an empty path", "\"C:\\Tarvo\\Tarvo.exe\" \"\"", "\"\"",
            "");
        row("blanks inside the quotes belong to the path", "Tarvo.exe \"  C:\\Data\\photos.zip  \"",
            "\"  C:\\Data\\photos.zip  \"", "  C:\\Data\\photos.zip  ");
        row("a tab inside quotes belongs to the program name",
            "\"C:\\Tools\tTarvo\\Tarvo.exe\" " + photos, photos, "C:\\Data\\photos.zip");
        row("a tab outside quotes ends the program name", "C:\\Tools\\Tarvo.exe\t" + photos, photos,
            "C:\\Data\\photos.zip");
        row("quotes in the middle of the program name",
            "C:\\\"Program Files\"\\Tarvo\\Tar\"vo.e\"xe " + photos, photos,
            "C:\\Data\\photos.zip");
        row("an unclosed quote makes the whole line the program name",
            "\"C:\\Program Files\\Tarvo.exe C:\\Data\\photos.zip", "", "");
        row("control characters after the program name are skipped",
            "Tarvo.exe\x01\x1f\r\n" + photos, photos, "C:\\Data\\photos.zip");
        row("only blanks after the program name", "\"C:\\Tarvo\\Tarvo.exe\"   ", "", "");
        row("a single character after the program name", "Tarvo.exe x", "x", "");
        row("no argument", "Tarvo.exe", "", "");
        row("an empty command line", "", "", "");
        row("characters beyond ASCII pass through", "Tarvo.exe \"D:\\Фото\\日本 2024.zip\"",
            "\"D:\\Фото\\日本 2024.zip\"", "D:\\Фото\\日本 2024.zip");
    }
    void readsThePathFromTheCommandLine() {
        QFETCH(QString, raw);
        QFETCH(QString, remainder);
        QFETCH(QString, path);
        QCOMPARE(CommandLineRemainder(raw), remainder);
        QCOMPARE(CleanDirectModePath(CommandLineRemainder(raw)), path);
    }

    // "out" and "err" are what the program writes, whole, or its first line followed by "...".
    // Options are read before any window could open: no display is offered. "made" is a file
    // the run leaves in the folder.
    void optionsOfBothPrograms_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QString>("made");
        const auto row = [](const char* name, const QString& program, const QStringList& arguments,
                            int exitCode, const QString& out, const QString& err = {},
                            const QString& made = {}) {
            QTest::newRow(name) << program << arguments << exitCode << out << err << made;
        };
        const QString gui = TARVO_GUI, cli = TARVO_CLI;
        const QString guiUsage = "Usage: tarvo [--] [ARCHIVE]...";
        const QString cliUsage = "Usage: tarvo-cli [-q] unzip [--] ARCHIVE...";
        const QString unzipped = "Unzipping completed successfully.\n";
        row("tarvo --version", gui, {"--version"}, 0, "Tarvo 1.0.0.1\n");
        row("tarvo-cli --version", cli, {"--version"}, 0, "tarvo-cli 1.0.0.1\n");
        row("tarvo --help", gui, {"--help"}, 0, guiUsage);
        row("tarvo-cli --help", cli, {"--help"}, 0, cliUsage);
        row("tarvo: an unknown option", gui, {"-x.zip"}, 2, "", guiUsage);
        row("tarvo: an unknown long option", gui, {"--verbose"}, 2, "", guiUsage);
        row("tarvo-cli: an archive named like an option", cli, {"unzip", "-x.zip"}, 2, "",
            cliUsage);
        row("tarvo-cli: -- then an archive whose name starts with -", cli,
            {"unzip", "--", "-x.zip"}, 0, unzipped, "", "-x/a.txt");
        row("tarvo-cli: -- before the command", cli, {"--", "unzip", "-x.zip"}, 0, unzipped, "",
            "-x/a.txt");
        row("tarvo-cli: a file whose name starts with - zipped", cli, {"zip", "--", "-notes.txt"},
            0, "Zipping completed successfully.\n", "", "-notes.txt.zip");
        row("tarvo-cli: a failure goes to standard error", cli, {"unzip", "missing.zip"}, 1, "",
            "Error: Unzipping did not complete. Make sure you have enough disk space and the zip "
            "file is not corrupt!...");
        row("tarvo-cli: a refusal goes to standard error", cli, {"unzip", ""}, 2, "",
            "Error: please select a valid zip file\n");
    }
    void optionsOfBothPrograms() {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QFETCH(QString, made);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        TestTree::WriteFile(folder.filePath("original/a.txt"), TestTree::TextBytes(3000, 1));
        TestTree::WriteFile(folder.filePath("-notes.txt"), TestTree::TextBytes(3000, 2));
        QCOMPARE(TestTree::Run("zip", {"-q", "-r", folder.filePath("-x.zip"), "."},
                               folder.filePath("original")),
                 0);

        QProcess run;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("DISPLAY");
        environment.remove("WAYLAND_DISPLAY");
        environment.insert("QT_QPA_PLATFORM", "xcb");
        run.setProcessEnvironment(environment);
        run.setWorkingDirectory(folder.path());
        run.start(program, arguments);
        QVERIFY(run.waitForFinished(60000));
        const QString standardOut = QString::fromUtf8(run.readAllStandardOutput());
        const QString standardErr = QString::fromUtf8(run.readAllStandardError());
        QCOMPARE(run.exitStatus(), QProcess::NormalExit);
        QCOMPARE(run.exitCode(), exitCode);
        const auto firstLineOr = [](const QString& written, const QString& expected) {
            return expected.endsWith("...") ? written.section('\n', 0, 0) + "..." : written;
        };
        QCOMPARE(firstLineOr(standardOut, out), out);
        QCOMPARE(firstLineOr(standardErr, err), err);
        if (!made.isEmpty())
            QVERIFY(QFileInfo::exists(folder.filePath(made)));
    }

    // The progress line is for someone watching: on a terminal, and not asked to be quiet. It
    // rewrites itself in place and is gone before the closing message.
    void progressLineOnlyOnATerminal_data() {
        QTest::addColumn<bool>("terminal");
        QTest::addColumn<QString>("options");
        QTest::addColumn<bool>("shown");
        QTest::newRow("on a terminal") << true << "" << true;
        QTest::newRow("on a terminal, quiet") << true << "-q" << false;
        QTest::newRow("on a terminal, --quiet") << true << "--quiet" << false;
        QTest::newRow("into a pipe") << false << "" << false;
    }
    void progressLineOnlyOnATerminal() {
        QFETCH(bool, terminal);
        QFETCH(QString, options);
        QFETCH(bool, shown);
        QTemporaryDir folder;
        TestTree::WriteFile(folder.filePath("original/a.txt"), TestTree::TextBytes(300000, 3));
        QCOMPARE(TestTree::Run("zip", {"-q", "-r", folder.filePath("photos.zip"), "."},
                               folder.filePath("original")),
                 0);
        const QString command = QStringLiteral("'%1' %2 unzip photos.zip").arg(TARVO_CLI, options);
        QString output;
        // script gives the program a terminal of its own and copies what it writes there.
        const int exitCode =
            terminal
                ? TestTree::Run("script", {"-qec", command, "/dev/null"}, folder.path(), &output)
                : TestTree::Run("bash", {"-c", command}, folder.path(), &output);
        QCOMPARE(exitCode, 0);
        const QString redraw = QStringLiteral("\r\x1b[K");
        QCOMPARE(output.contains(redraw + QStringLiteral("100%  ")), shown);
        QCOMPARE(output.contains(redraw), shown);
        QVERIFY2(output.endsWith(QStringLiteral("Unzipping completed successfully.\r\n")) ||
                     output.endsWith(QStringLiteral("Unzipping completed successfully.\n")),
                 qPrintable(output));
        // Whatever was drawn was wiped before the message: it starts a clean line.
        QVERIFY(!shown || output.contains(redraw + QStringLiteral("Unzipping completed")));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
