// The built program on a real (virtual) display, once for each way people use it. Started for a
// double-clicked archive, it unpacks beside it, says so, hands the folder to the file browser and
// ends with code 0. Used by keyboard alone, the buttons are reached in tab order, paths are typed
// into the pickers and the messages are answered. Every window shows the program's icon.

#include "support/TestTree.h"
#include "support/XSession.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

class TestE2e : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_session = std::make_unique<XSession>();
        if (!m_session->Unavailable().isEmpty())
            QSKIP(qPrintable(m_session->Unavailable()));
        m_files = std::make_unique<QTemporaryDir>();
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

    // Given relative to another folder, as a file manager may, and with a blank at the end that
    // is part of the name.
    void directModeUnpacksTheArchiveItIsGiven() {
        QVERIFY(QFile::rename(Path("data/photos.zip"), Path("data/photos.zip ")));
        m_tarvo = m_session->Launch(TARVO_GUI, {"../data/photos.zip "}, Path("elsewhere"));
        // The progress window stays, with its icon, while its message is up.
        QVERIFY(!m_session->WaitForWindow("^Unzipper$").isEmpty());
        ExpectIcon(m_session->WaitForWindow(MainTitle, 0));
        Answer("^Unzipper$");
        ExpectCleanEnd();
        ExpectUnpackedAndOpened(Path("data/photos"), Path("data/photos"));
    }

    // Select A Folder To Zip is three tabs on from the first button, Zip one more.
    void zipAFolderByKeyboard() {
        StartInteractive();
        ExpectIcon(m_window);
        QVERIFY(m_session->Keys(m_window, {"Tab", "Tab", "Tab", "space"}));
        ChooseInPicker("^Select a folder", Path("original"));
        QVERIFY(m_session->Keys(m_window, {"Tab", "space"}));
        Answer("^Zipper$");
        QCOMPARE(TestTree::Run("unzip", {"-q", Path("original.zip"), "-d", Path("unpacked")}), 0);
        ExpectUnpackedAndOpened(Path("unpacked"), m_files->path());
        CloseAndExpectCleanEnd();
    }

    // The focus starts on Select A File To Unzip; Unzip is the next button.
    void unzipAnArchiveByKeyboard() {
        StartInteractive();
        QVERIFY(m_session->Keys(m_window, {"space"}));
        ChooseInPicker("^Select only one file", Path("data/photos.zip"));
        QVERIFY(m_session->Keys(m_window, {"Tab", "space"}));
        Answer("^Unzipper$");
        ExpectUnpackedAndOpened(Path("data/photos"), Path("data/photos"));
        CloseAndExpectCleanEnd();
    }

private:
    const QString MainTitle = QStringLiteral("^Tarvo 1.0$");

    QString Path(const QString& relative) const { return m_files->filePath(relative); }

    void StartInteractive() {
        m_tarvo = m_session->Launch(TARVO_GUI, {}, m_files->path());
        m_window = m_session->WaitForWindow(MainTitle);
        QVERIFY2(!m_window.isEmpty(), "the main window did not open");
    }

    // The title bar and the task bar draw it from the window's _NET_WM_ICON.
    void ExpectIcon(const QString& window) {
        QVERIFY2(!window.isEmpty(), "the window did not open");
        const QString icon = m_session->WindowProperty(window, "_NET_WM_ICON");
        QVERIFY2(icon.contains("Icon (128 x 128)"), qPrintable(icon));
    }

    void ChooseInPicker(const QString& title, const QString& path) {
        const QString picker = m_session->WaitForWindow(title);
        QVERIFY2(!picker.isEmpty(), qPrintable("no picker " + title));
        QVERIFY(m_session->Type(picker, path));
        QVERIFY(m_session->Keys(picker, {"Return"}));
        QVERIFY(m_session->WaitForNoWindow(title));
        // The main window takes the focus back through its own events, which a busy machine may
        // not have handled yet: keys sent before would be lost.
        QTest::qWait(1000);
    }

    // Presses Return on the message with this title once it is up.
    void Answer(const QString& title) {
        const QString box = m_session->WaitForWindow(title, 60000);
        QVERIFY2(!box.isEmpty(), qPrintable("no message " + title));
        QVERIFY(m_session->Keys(box, {"Return"}));
        QVERIFY(m_session->WaitForNoWindow(title));
    }

    // The stand-in browser runs detached from the program; it may still be writing.
    void ExpectUnpackedAndOpened(const QString& result, const QString& opened) {
        QCOMPARE(TestTree::Snapshot(result, false), TestTree::Snapshot(Path("original"), false));
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
        QVERIFY(m_session->Keys(m_window, {"Escape"}));
        ExpectCleanEnd();
    }

    std::unique_ptr<XSession> m_session;
    std::unique_ptr<QTemporaryDir> m_files;
    QProcess* m_tarvo = nullptr;
    QString m_window;
};

QTEST_GUILESS_MAIN(TestE2e)
#include "tst_e2e.moc"
