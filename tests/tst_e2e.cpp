// The built program on a real (virtual) display, once for each way people start it: for a
// double-clicked archive, from a file manager's zip entry, and by keyboard alone in the main
// window to zip a folder and to unzip an archive, typing paths into the pickers. Each run says
// so over its window, leaves its result beside what it was given, hands the folder to the file
// browser and ends with code 0. What the windows do beyond that is tested offscreen.

#include "support/TestTree.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Paths are relative to the test folder. keys open a picker in the main window, where chosen is
// typed; Tab and space then start the operation. A result ending in ".zip" is an archive, made
// beside what was packed, whose folder is then shown; an unpacked folder is shown itself.
struct Run {
    QStringList arguments;
    QString from;
    QString keys;
    QString chosen;
    QString result;
};

const QString MainTitle = QStringLiteral("^Tarvo 1.0$");

} // namespace

Q_DECLARE_METATYPE(Run)

class TestE2e : public QObject {
    Q_OBJECT

private slots:
    // One server for every run; its programs find a stand-in "xdg-open" first on their PATH,
    // which writes down the path of the file address it is asked to open (the test's paths
    // need no percent-decoding), so no file browser starts.
    void initTestCase() {
        REQUIRE_TOOLS("Xvfb", "xdotool");
        TestTree::WriteFile(m_session.filePath("bin/xdg-open"),
                            "#!/bin/sh\nrealpath -- \"${1#file://}\" >> '" +
                                QFile::encodeName(m_session.filePath("opened.txt")) + "'\n",
                            0700);
        // The server takes the first free display itself and writes its number when it is
        // ready. Without -noreset it starts afresh each time its last client leaves, and
        // refuses a program that connects in that moment.
        m_server.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1280x1024x24",
                                                "-nolisten", "tcp", "-noreset"});
        QVERIFY(QTest::qWaitFor(
            [&] { return m_server.canReadLine() || m_server.state() == QProcess::NotRunning; },
            30000));
        const QString display = QString::fromLatin1(m_server.readLine()).trimmed();
        QVERIFY2(!display.isEmpty(), "the virtual X server did not start");
        // The programs this test starts inherit its environment; it has no windows of its own.
        qputenv("DISPLAY", ':' + display.toLatin1());
        qunsetenv("XAUTHORITY");
        qputenv("QT_QPA_PLATFORM", "xcb");
        qputenv("PATH", QFile::encodeName(m_session.filePath("bin")) + ':' + qgetenv("PATH"));
        // Settings the file dialogs keep stay in the session, and no desktop is guessed at.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_session.filePath("config")));
        for (const char* desktop : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION"})
            qunsetenv(desktop);
    }

    void cleanupTestCase() {
        m_server.terminate();
        if (!m_server.waitForFinished(10000))
            m_server.kill();
    }

    void init() {
        m_files = std::make_unique<QTemporaryDir>();
        QFile::remove(m_session.filePath("opened.txt"));
        for (const char* item : {"original/a.txt", "original/pics/b.bin=b", "data/", "elsewhere/"})
            TestTree::Make(m_files->path(), item);
        QCOMPARE(TestTree::Run("zip", {"-q", "-r", Path("data/photos.zip"), "."}, Path("original")),
                 0);
    }

    // The direct mode's archive is given relative to another folder, as a file manager may,
    // and with a blank at the end that is part of its name. The main window's buttons are
    // reached in tab order: Select A File To Unzip has the focus, Unzip is next, Select A
    // Folder To Zip three on, Zip after it.
    void eachWayOfStarting_data() {
        QTest::addColumn<Run>("run");
        QTest::newRow("direct mode")
            << Run{{"../data/photos.zip "}, "elsewhere", {}, {}, "data/photos"};
        QTest::newRow("zip mode") << Run{{"--zip", "original"}, {}, {}, {}, "original.zip"};
        QTest::newRow("zip a folder by keyboard")
            << Run{{}, {}, "Tab Tab Tab space", "original", "original.zip"};
        QTest::newRow("unzip an archive by keyboard")
            << Run{{}, {}, "space", "data/photos.zip", "data/photos"};
    }
    void eachWayOfStarting() {
        QFETCH(Run, run);
        if (run.arguments.value(0).endsWith(' '))
            QVERIFY(QFile::rename(Path("data/photos.zip"), Path("data/photos.zip ")));
        const bool zip = run.result.endsWith(".zip");
        const QString message = zip ? "^Zipper$" : "^Unzipper$", picker = "^Select ";
        QProcess tarvo;
        tarvo.setWorkingDirectory(Path(run.from));
        tarvo.setProcessChannelMode(QProcess::ForwardedChannels);
        tarvo.start(TARVO_GUI, run.arguments);
        if (!run.keys.isEmpty()) {
            QVERIFY2(Press(MainTitle, QStringList{"key"} + run.keys.split(' ')),
                     "the window did not open");
            // The picker, too, gives its name field the focus through its own events: typed
            // too soon, the path's first keys land elsewhere and another folder is taken.
            QVERIFY2(Xdotool({"search", "--sync", "--onlyvisible", "--name", picker}), "no picker");
            QTest::qWait(1000);
            QVERIFY(Press(picker, {"type", "--", Path(run.chosen)}));
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
        if (!run.keys.isEmpty())
            QVERIFY(Press(MainTitle, {"key", "Escape"}));
        QVERIFY(tarvo.waitForFinished(30000));
        QCOMPARE(tarvo.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tarvo.exitCode(), 0);

        QString unpacked = Path(run.result);
        if (zip) {
            unpacked = Path("unpacked");
            QCOMPARE(TestTree::Run("unzip", {"-q", Path(run.result), "-d", unpacked}), 0);
        }
        QCOMPARE(TestTree::Snapshot(unpacked, false), TestTree::Snapshot(Path("original"), false));
        // The stand-in browser runs detached from the program; it may still be writing.
        const QString opened = zip ? QFileInfo(Path(run.result)).path() : Path(run.result);
        QTRY_COMPARE(Opened(), QStringList{QFileInfo(opened).canonicalFilePath()});
    }

private:
    QString Path(const QString& relative) const { return m_files->filePath(relative); }

    // True when xdotool succeeded within a minute; a --sync search waits for its window until
    // then, and is killed when none came.
    static bool Xdotool(const QStringList& arguments) {
        return TestTree::Run(QStringLiteral("xdotool"), arguments, {}, nullptr, 60000) == 0;
    }

    // Waits for the first visible window whose title matches, gives it the keyboard focus
    // (there is no window manager to do it) and runs a "key" or "type" command there.
    bool Press(const QString& title, const QStringList& command) const {
        // Chained after the search, the command would go to the found window by XSendEvent,
        // which the program ignores; on its own it goes to the focused window as typed keys do.
        return Xdotool({"search", "--sync", "--onlyvisible", "--name", title, "windowfocus",
                        "--sync"}) &&
               Xdotool(command);
    }
    bool Gone(const QString& title) const {
        return QTest::qWaitFor(
            [&] {
                return !Xdotool({"search", "--onlyvisible", "--name", title});
            },
            20000);
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
    std::unique_ptr<QTemporaryDir> m_files;
};

QTEST_GUILESS_MAIN(TestE2e)
#include "tst_e2e.moc"
