// The built program on a real (virtual) display. In its direct mode, as a file manager starts it
// for a double-clicked archive: it unpacks beside the archive, says so, hands the folder to the
// file browser and ends with code 0, also after a failure or when its window is closed. In its
// interactive mode, used by keyboard alone: the buttons are reached in tab order, paths are
// typed into the pickers, and the messages are answered as a person would.

#include "support/TestTree.h"
#include "support/XSession.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString MainTitle = QStringLiteral("^Tarvo 1.0$");
const QString FilePickerTitle = QStringLiteral("^Select only one file");
const QString FolderPickerTitle = QStringLiteral("^Select a folder");

} // namespace

class TestE2e : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_session = std::make_unique<XSession>();
        if (!m_session->Unavailable().isEmpty())
            QSKIP(qPrintable(m_session->Unavailable()));
        m_files = std::make_unique<QTemporaryDir>();
        QVERIFY(m_files->isValid());
        TestTree::WriteFile(Path("original/a.txt"), TestTree::TextBytes(40000, 1));
        TestTree::WriteFile(Path("original/pics/b.bin"), TestTree::RandomBytes(90000, 2));
        QDir().mkpath(Path("data"));
        QDir().mkpath(Path("elsewhere"));
        QCOMPARE(TestTree::Run("zip", {"-q", "-r", Path("data/photos.zip"), "."}, Path("original")),
                 0);
    }

    void cleanup() {
        m_session.reset();
        m_files.reset();
    }

    void directModeUnpacksTheArchiveItIsGiven_data() {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("startIn");
        QTest::newRow("absolute path") << "data/photos.zip"
                                       << "elsewhere";
        QTest::newRow("relative path from the archive's folder") << "photos.zip"
                                                                 << "data";
        QTest::newRow("relative path from another folder") << "../data/photos.zip"
                                                           << "elsewhere";
        QTest::newRow("a blank at the end is part of the name") << "photos.zip "
                                                                << "data";
    }
    void directModeUnpacksTheArchiveItIsGiven() {
        QFETCH(QString, argument);
        QFETCH(QString, startIn);
        if (startIn == "elsewhere" && !argument.startsWith(".."))
            argument = Path(argument);
        if (argument.endsWith(' ')) // nothing else has the name it would be trimmed to
            QVERIFY(QFile::rename(Path("data/photos.zip"), Path("data/photos.zip ")));
        m_tarvo = m_session->Launch(TARVO_GUI, {argument}, Path(startIn));
        // The progress window stays while its message is up.
        const QString box = m_session->WaitForWindow("^Unzipper$");
        QVERIFY2(!box.isEmpty(), qPrintable(Situation()));
        QVERIFY(!m_session->WaitForWindow(MainTitle, 0).isEmpty());
        Answer("^Unzipper$");
        ExpectCleanEnd();
        // The stand-in browser runs detached from the program; it may still be writing. A path
        // given relative to another folder may reach it with its ".." still in.
        ExpectUnpackedAndOpened(Path("data/photos"), Path("original"), Path("data/photos"));
    }

    void directModeReportsADamagedArchiveAndEnds() {
        // One stored entry with a byte of its data flipped: its CRC no longer matches.
        const QString archive = Path("broken.zip");
        QCOMPARE(TestTree::RunPython("import sys, zipfile\n"
                                     "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                     "    z.writestr('first.txt', b'A' * 5000)\n"
                                     "data = bytearray(open(sys.argv[1], 'rb').read())\n"
                                     "data[30 + len('first.txt') + 100] ^= 0xFF\n"
                                     "open(sys.argv[1], 'wb').write(data)\n",
                                     {archive}),
                 0);
        m_tarvo = m_session->Launch(TARVO_GUI, {archive}, m_files->path());
        Answer("^Unzipper$");
        ExpectCleanEnd();
        // Nothing of the damaged entry looks whole.
        QVERIFY(!QFileInfo::exists(Path("broken/first.txt")));
    }

    // Closing the window while the archive is still being unpacked ends the program at once,
    // and cleanly.
    void directModeEndsWhenItsWindowIsClosedMidRun() {
        QCOMPARE(TestTree::RunPython(
                     "import sys, zipfile\n"
                     "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                     "    for i in range(25):\n"
                     "        z.writestr('zeros%02d.bin' % i, bytes(4 << 20))\n",
                     {Path("big.zip")}),
                 0);
        m_tarvo = m_session->Launch(TARVO_GUI, {Path("big.zip")}, m_files->path());
        const QString window = m_session->WaitForWindow(MainTitle);
        QVERIFY(!window.isEmpty());
        QVERIFY(m_session->Focus(window));
        // Esc closes the window as its close box does.
        QVERIFY(m_session->Keys({"Escape"}));
        // Should the unpacking have been done first, its message is up and the window, under
        // it, took no keys: the message is answered instead, and the run ends all the same.
        QString box;
        QVERIFY(QTest::qWaitFor(
            [&] {
                if (m_tarvo->state() == QProcess::NotRunning)
                    return true;
                box = m_session->WaitForWindow("^Unzipper$", 0);
                return !box.isEmpty();
            },
            30000));
        if (!box.isEmpty() && m_tarvo->state() != QProcess::NotRunning) {
            QVERIFY(m_session->Focus(box));
            QVERIFY(m_session->Keys({"Return"}));
        }
        ExpectCleanEnd();
    }

    // The title bar and the task bar draw the program's icon from the window's _NET_WM_ICON.
    // The progress window is looked at while its refusal of an empty path is up.
    void bothWindowsShowTheProgramIcon_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("box");
        QTest::newRow("main window") << QStringList{} << QString();
        QTest::newRow("progress window") << QStringList{""} << "^Unzipper$";
    }
    void bothWindowsShowTheProgramIcon() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, box);
        m_tarvo = m_session->Launch(TARVO_GUI, arguments, m_files->path());
        if (!box.isEmpty())
            QVERIFY2(!m_session->WaitForWindow(box).isEmpty(), qPrintable(Situation()));
        m_window = m_session->WaitForWindow(MainTitle);
        QVERIFY2(!m_window.isEmpty(), qPrintable(Situation()));
        const QString icon = m_session->WindowProperty(m_window, "_NET_WM_ICON");
        QVERIFY2(icon.contains("Icon (128 x 128)"), qPrintable(icon));
        if (!box.isEmpty()) {
            Answer(box);
            ExpectCleanEnd();
        } else {
            CloseAndExpectCleanEnd();
        }
    }

    // Select A Folder To Zip is three tabs on from the first button, Zip one more.
    void zipAFolderByKeyboard() {
        StartInteractive();
        QVERIFY(m_session->Focus(m_window));
        QVERIFY(m_session->Keys({"Tab", "Tab", "Tab", "space"}));
        ChooseInPicker(FolderPickerTitle, Path("original"));
        QVERIFY(m_session->Focus(m_window));
        QVERIFY(m_session->Keys({"Tab", "space"}));
        Answer("^Zipper$");
        QCOMPARE(TestTree::Run("unzip", {"-q", Path("original.zip"), "-d", Path("unpacked")}), 0);
        ExpectUnpackedAndOpened(Path("unpacked"), Path("original"), m_files->path());
        CloseAndExpectCleanEnd();
    }

    // The focus starts on Select A File To Unzip; Unzip is the next button. A picker left
    // without a choice is answered with a message under the program's name.
    void unzipAnArchiveByKeyboard() {
        StartInteractive();
        QVERIFY(m_session->Focus(m_window));
        QVERIFY(m_session->Keys({"space"}));
        const QString picker = m_session->WaitForWindow(FilePickerTitle);
        QVERIFY(!picker.isEmpty());
        QVERIFY(m_session->Focus(picker));
        QVERIFY(m_session->Keys({"Escape"}));
        Answer("^Tarvo$");

        QVERIFY(m_session->Focus(m_window));
        QVERIFY(m_session->Keys({"space"}));
        ChooseInPicker(FilePickerTitle, Path("data/photos.zip"));
        QVERIFY(m_session->Focus(m_window));
        QVERIFY(m_session->Keys({"Tab", "space"}));
        Answer("^Unzipper$");
        ExpectUnpackedAndOpened(Path("data/photos"), Path("original"), Path("data/photos"));
        CloseAndExpectCleanEnd();
    }

private:
    QString Path(const QString& relative) const { return m_files->filePath(relative); }

    void StartInteractive() {
        m_tarvo = m_session->Launch(TARVO_GUI, {}, m_files->path());
        m_window = m_session->WaitForWindow(MainTitle);
        QVERIFY2(!m_window.isEmpty(), "the main window did not open");
    }

    void ChooseInPicker(const QString& title, const QString& path) {
        const QString picker = m_session->WaitForWindow(title);
        QVERIFY2(!picker.isEmpty(), qPrintable("no picker " + title + ": " + Situation()));
        QVERIFY(m_session->Focus(picker));
        QVERIFY(m_session->Type(path));
        QVERIFY(m_session->Keys({"Return"}));
        QVERIFY(m_session->WaitForNoWindow(title));
    }

    // Presses Return on the message with this title once it is up.
    void Answer(const QString& title) {
        const QString box = m_session->WaitForWindow(title, 60000);
        QVERIFY2(!box.isEmpty(), qPrintable("no message " + title + ": " + Situation()));
        QVERIFY(m_session->Focus(box));
        QVERIFY(m_session->Keys({"Return"}));
        QVERIFY(m_session->WaitForNoWindow(title));
    }

    // What is on the display and whether the program still runs, for a failure message.
    QString Situation() const {
        const QString program =
            m_tarvo->state() == QProcess::NotRunning
                ? QStringLiteral("the program ended with code %1").arg(m_tarvo->exitCode())
                : QStringLiteral("the program runs");
        return program + ", windows: " + m_session->VisibleTitles().join(" | ");
    }

    void ExpectUnpackedAndOpened(const QString& result, const QString& tree,
                                 const QString& opened) {
        QCOMPARE(TestTree::Snapshot(result, false), TestTree::Snapshot(tree, false));
        QTRY_COMPARE(m_session->Opened().size(), 1);
        QCOMPARE(QFileInfo(m_session->Opened().constFirst()).canonicalFilePath(),
                 QFileInfo(opened).canonicalFilePath());
    }

    void ExpectCleanEnd() {
        QVERIFY(
            QTest::qWaitFor([this] { return m_tarvo->state() == QProcess::NotRunning; }, 30000));
        QCOMPARE(m_tarvo->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_tarvo->exitCode(), 0);
    }

    void CloseAndExpectCleanEnd() {
        QVERIFY(m_session->Focus(m_window));
        QVERIFY(m_session->Keys({"Escape"}));
        ExpectCleanEnd();
    }

    std::unique_ptr<XSession> m_session;
    std::unique_ptr<QTemporaryDir> m_files;
    QProcess* m_tarvo = nullptr;
    QString m_window;
};

QTEST_GUILESS_MAIN(TestE2e)
#include "tst_e2e.moc"
