// The built program in its direct mode on a real (virtual) display, as a file manager starts
// it for a double-clicked archive: it unpacks beside the archive, says so, hands the folder to
// the file browser and ends with code 0, also after a failure or when its window is closed.

#include "support/TestTree.h"
#include "support/XSession.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString MainTitle = QStringLiteral("^Tarvo 1.0$");
const QString UnzipperTitle = QStringLiteral("^Unzipper$");

bool Ended(QProcess* process, int timeoutMs = 30000) {
    return QTest::qWaitFor([process] { return process->state() == QProcess::NotRunning; },
                           timeoutMs);
}

} // namespace

class TestE2eDirect : public QObject {
    Q_OBJECT

private slots:
    void init() {
        m_session = std::make_unique<XSession>();
        if (!m_session->Unavailable().isEmpty())
            QSKIP(qPrintable(m_session->Unavailable()));
        m_files = std::make_unique<QTemporaryDir>();
        QVERIFY(m_files->isValid());
    }

    void cleanup() {
        m_session.reset();
        m_files.reset();
    }

    void unpacksTheArchiveItIsGiven_data() {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("startIn");
        QTest::newRow("absolute path") << "data/photos.zip"
                                       << "elsewhere";
        QTest::newRow("relative path from the archive's folder") << "photos.zip"
                                                                 << "data";
        QTest::newRow("relative path from another folder") << "../data/photos.zip"
                                                           << "elsewhere";
    }

    void unpacksTheArchiveItIsGiven() {
        QFETCH(QString, argument);
        QFETCH(QString, startIn);
        TestTree::WriteFile(Path("original/a.txt"), TestTree::TextBytes(40000, 1));
        TestTree::WriteFile(Path("original/pics/b.bin"), TestTree::RandomBytes(90000, 2));
        QDir().mkpath(Path("data"));
        QDir().mkpath(Path("elsewhere"));
        QCOMPARE(TestTree::Run("zip", {"-q", "-r", Path("data/photos.zip"), "."}, Path("original")),
                 0);
        if (startIn == "elsewhere" && !argument.startsWith(".."))
            argument = Path(argument);

        QProcess* tarvo = m_session->Launch(TARVO_GUI, {argument}, Path(startIn));
        const QString box = m_session->WaitForWindow(UnzipperTitle);
        QVERIFY2(!box.isEmpty(), "no message from the unzipper");
        // The progress window stays while its message is up.
        QVERIFY(!m_session->WaitForWindow(MainTitle, 0).isEmpty());
        QVERIFY(m_session->Focus(box));
        QVERIFY(m_session->Keys({"Return"}));

        QVERIFY(Ended(tarvo));
        QCOMPARE(tarvo->exitStatus(), QProcess::NormalExit);
        QCOMPARE(tarvo->exitCode(), 0);
        QCOMPARE(TestTree::Snapshot(Path("data/photos"), false),
                 TestTree::Snapshot(Path("original"), false));
        // The stand-in browser runs detached from the program; it may still be writing. A path
        // given relative to another folder may reach it with its ".." still in.
        QTRY_COMPARE(m_session->Opened().size(), 1);
        QCOMPARE(QFileInfo(m_session->Opened().constFirst()).canonicalFilePath(),
                 QFileInfo(Path("data/photos")).canonicalFilePath());
    }

    void brokenArchiveIsReportedAndTheRunEnds_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("not an archive at all") << "noise";
        QTest::newRow("an entry whose data is damaged") << "damaged";
    }

    void brokenArchiveIsReportedAndTheRunEnds() {
        QFETCH(QString, kind);
        const QString archive = Path("broken.zip");
        if (kind == "noise") {
            TestTree::WriteFile(archive, TestTree::RandomBytes(20000, 3));
        } else {
            // One stored entry with a byte of its data flipped: its CRC no longer matches.
            QCOMPARE(TestTree::RunPython("import sys, zipfile\n"
                                         "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                         "    z.writestr('first.txt', b'A' * 5000)\n"
                                         "data = bytearray(open(sys.argv[1], 'rb').read())\n"
                                         "data[30 + len('first.txt') + 100] ^= 0xFF\n"
                                         "open(sys.argv[1], 'wb').write(data)\n",
                                         {archive}),
                     0);
        }
        QProcess* tarvo = m_session->Launch(TARVO_GUI, {archive}, m_files->path());
        const QString box = m_session->WaitForWindow(UnzipperTitle);
        QVERIFY2(!box.isEmpty(), "no message from the unzipper");
        QVERIFY(m_session->Focus(box));
        QVERIFY(m_session->Keys({"Return"}));
        QVERIFY(Ended(tarvo));
        QCOMPARE(tarvo->exitStatus(), QProcess::NormalExit);
        QCOMPARE(tarvo->exitCode(), 0);
        // Nothing of the damaged entry looks whole.
        QVERIFY(!QFileInfo::exists(Path("broken/first.txt")));
    }

    // Closing the window while the archive is still being unpacked ends the program at once,
    // and cleanly.
    void closingTheWindowMidRunEndsTheProgram() {
        QCOMPARE(TestTree::RunPython(
                     "import sys, zipfile\n"
                     "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                     "    for i in range(25):\n"
                     "        z.writestr('zeros%02d.bin' % i, bytes(4 << 20))\n",
                     {Path("big.zip")}),
                 0);
        QProcess* tarvo = m_session->Launch(TARVO_GUI, {Path("big.zip")}, m_files->path());
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
                if (tarvo->state() == QProcess::NotRunning)
                    return true;
                box = m_session->WaitForWindow(UnzipperTitle, 0);
                return !box.isEmpty();
            },
            30000));
        if (!box.isEmpty() && tarvo->state() != QProcess::NotRunning) {
            QVERIFY(m_session->Focus(box));
            QVERIFY(m_session->Keys({"Return"}));
        }
        QVERIFY(Ended(tarvo));
        QCOMPARE(tarvo->exitStatus(), QProcess::NormalExit);
        QCOMPARE(tarvo->exitCode(), 0);
    }

private:
    QString Path(const QString& relative) const { return m_files->filePath(relative); }

    std::unique_ptr<XSession> m_session;
    std::unique_ptr<QTemporaryDir> m_files;
};

QTEST_GUILESS_MAIN(TestE2eDirect)
#include "tst_e2e_direct.moc"
