// The built program in its interactive mode on a real (virtual) display, used by keyboard
// alone: the buttons are reached in tab order, paths are typed into the pickers, and the
// messages are answered as a person would.

#include "support/TestTree.h"
#include "support/XSession.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString MainTitle = QStringLiteral("^Tarvo 1.0$");
const QString FilePickerTitle = QStringLiteral("^Select only one file");
const QString FolderPickerTitle = QStringLiteral("^Select a folder");

bool Ended(QProcess* process, int timeoutMs = 30000) {
    return QTest::qWaitFor([process] { return process->state() == QProcess::NotRunning; },
                           timeoutMs);
}

} // namespace

class TestE2eInteractive : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_session = std::make_unique<XSession>();
        if (!m_session->Unavailable().isEmpty())
            QSKIP(qPrintable(m_session->Unavailable()));
        m_files = std::make_unique<QTemporaryDir>();
        QVERIFY(m_files->isValid());
        m_tarvo = m_session->Launch(TARVO_GUI, {}, m_files->path());
        m_window = m_session->WaitForWindow(MainTitle);
        QVERIFY2(!m_window.isEmpty(), "the main window did not open");
    }

    void cleanup() {
        m_session.reset();
        m_files.reset();
    }

    // Select A Folder To Zip is three tabs on from the first button, Zip one more.
    void zipAFolderByKeyboard() {
        TestTree::WriteFile(Path("album/a.txt"), TestTree::TextBytes(30000, 1));
        TestTree::WriteFile(Path("album/sub/b.bin"), TestTree::RandomBytes(60000, 2));
        TestTree::WriteFile(Path("album/sub/c.txt"), "c");

        QVERIFY(m_session->Focus(m_window));
        QVERIFY(m_session->Keys({"Tab", "Tab", "Tab", "space"}));
        ChooseInPicker(FolderPickerTitle, Path("album"));
        QVERIFY(m_session->Focus(m_window));
        QVERIFY(m_session->Keys({"Tab", "space"}));
        Answer(QStringLiteral("^Zipper$"));

        QVERIFY(FolderFrom(Path("album.zip"), Path("unpacked")));
        QCOMPARE(TestTree::Snapshot(Path("unpacked"), false),
                 TestTree::Snapshot(Path("album"), false));
        QTRY_COMPARE(m_session->Opened().size(), 1);
        QCOMPARE(QFileInfo(m_session->Opened().constFirst()).canonicalFilePath(),
                 QFileInfo(m_files->path()).canonicalFilePath());
        CloseAndExpectCodeZero();
    }

    // The focus starts on Select A File To Unzip; Unzip is the next button.
    void unzipAnArchiveByKeyboard() {
        TestTree::WriteFile(Path("original/one.txt"), TestTree::TextBytes(50000, 3));
        TestTree::WriteFile(Path("original/two/three.bin"), TestTree::RandomBytes(40000, 4));
        QCOMPARE(TestTree::Run("zip", {"-q", "-r", Path("photos.zip"), "."}, Path("original")), 0);

        // A picker left without a choice is answered with a message under the program's name.
        QVERIFY(m_session->Focus(m_window));
        QVERIFY(m_session->Keys({"space"}));
        const QString picker = m_session->WaitForWindow(FilePickerTitle);
        QVERIFY(!picker.isEmpty());
        QVERIFY(m_session->Focus(picker));
        QVERIFY(m_session->Keys({"Escape"}));
        Answer(QStringLiteral("^Tarvo$"));

        QVERIFY(m_session->Focus(m_window));
        QVERIFY(m_session->Keys({"space"}));
        ChooseInPicker(FilePickerTitle, Path("photos.zip"));
        QVERIFY(m_session->Focus(m_window));
        QVERIFY(m_session->Keys({"Tab", "space"}));
        Answer(QStringLiteral("^Unzipper$"));

        QCOMPARE(TestTree::Snapshot(Path("photos"), false),
                 TestTree::Snapshot(Path("original"), false));
        QTRY_COMPARE(m_session->Opened().size(), 1);
        QCOMPARE(QFileInfo(m_session->Opened().constFirst()).canonicalFilePath(),
                 QFileInfo(Path("photos")).canonicalFilePath());
        CloseAndExpectCodeZero();
    }

private:
    QString Path(const QString& relative) const { return m_files->filePath(relative); }

    void ChooseInPicker(const QString& title, const QString& path) {
        const QString picker = m_session->WaitForWindow(title);
        QVERIFY2(!picker.isEmpty(), qPrintable("no picker " + title + ", only: " +
                                               m_session->VisibleTitles().join(" | ")));
        QVERIFY(m_session->Focus(picker));
        QVERIFY(m_session->Type(path));
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

    // Presses Return on the message with this title once it is up.
    void Answer(const QString& title) {
        const QString box = m_session->WaitForWindow(title, 60000);
        QVERIFY2(!box.isEmpty(), qPrintable("no message " + title +
                                            ", only: " + m_session->VisibleTitles().join(" | ")));
        QVERIFY(m_session->Focus(box));
        QVERIFY(m_session->Keys({"Return"}));
        QVERIFY(m_session->WaitForNoWindow(title));
    }

    // Unpacks an archive with an outside tool, to check what was written.
    bool FolderFrom(const QString& archive, const QString& folder) {
        return TestTree::Run("unzip", {"-q", archive, "-d", folder}) == 0;
    }

    void CloseAndExpectCodeZero() {
        QVERIFY(m_session->Focus(m_window));
        QVERIFY(m_session->Keys({"Escape"}));
        QVERIFY(Ended(m_tarvo));
        QCOMPARE(m_tarvo->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_tarvo->exitCode(), 0);
    }

    std::unique_ptr<XSession> m_session;
    std::unique_ptr<QTemporaryDir> m_files;
    QProcess* m_tarvo = nullptr;
    QString m_window;
};

QTEST_GUILESS_MAIN(TestE2eInteractive)
#include "tst_e2e_interactive.moc"
