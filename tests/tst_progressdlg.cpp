// The window of the direct mode: it unpacks its archive as soon as it shows, fills its bar,
// and ends the run once the worker is done; after a failure it stays while the message is up.

#include "operation/OperationState.h"
#include "operation/ThreadStart.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "support/TestTree.h"
#include "ui/ProgressDLG.h"

#include <QFileInfo>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString UnzipSucceeded =
    QStringLiteral("QMessageBox|Unzipper|Unzipping completed successfully.");
const QString UnzipFailed = QStringLiteral(
    "QMessageBox|Unzipper|Error: Unzipping did not complete. Make sure you have enough disk "
    "space and the zip file is not corrupt!");

} // namespace

class TestProgressDlg : public QObject {
    Q_OBJECT

private slots:
    void init() {
        GuiFixture::ResetOperationState();
        m_files = std::make_unique<QTemporaryDir>();
        QVERIFY(m_files->isValid());
    }

    void cleanup() {
        QVERIFY(GuiFixture::WaitForProgramThreads());
        // The window ends its run with QCoreApplication::exit(), as the program does.
        GuiFixture::ClearQuitRequest();
        m_files.reset();
    }

    // The window stays while its message is up; the bar is full by then after a success.
    void unpacksTheArchiveItIsGiven_data() {
        QTest::addColumn<bool>("archive");
        QTest::addColumn<QString>("message");
        QTest::newRow("an archive: unpacked, the bar full") << true << UnzipSucceeded;
        QTest::newRow("noise: nothing unpacked") << false << UnzipFailed;
    }
    void unpacksTheArchiveItIsGiven() {
        QFETCH(bool, archive);
        QFETCH(QString, message);
        TestTree::WriteFile(Path("original/a.txt"), TestTree::TextBytes(30000, 1));
        TestTree::WriteFile(Path("original/deep/b.bin"), TestTree::RandomBytes(70000, 2));
        if (archive)
            QCOMPARE(TestTree::Run("zip", {"-q", "-r", Path("photos.zip"), "."}, Path("original")),
                     0);
        else
            TestTree::WriteFile(Path("photos.zip"), TestTree::RandomBytes(5000, 3));
        UrlCapture urls;
        ProgressDLG window(Path("photos.zip"));
        auto* bar = window.findChild<QProgressBar*>("m_progress");
        int barAtMessage = -1;
        ModalDriver driver;
        driver.Ignore(&window);
        driver.Then(
            Answers::Inspect([&](QWidget*) { barAtMessage = bar->value(); }, Answers::PressOk()));
        window.exec();

        QCOMPARE(driver.Summary(), QStringList{message});
        QCOMPARE(driver.Seen().constFirst().owner, &window);
        QVERIFY(driver.Seen().constFirst().ownerStillShown);
        QVERIFY(OperationState::Instance().directMode);
        if (archive) {
            QCOMPARE(barAtMessage, 100);
            QCOMPARE(TestTree::Snapshot(Path("photos"), false),
                     TestTree::Snapshot(Path("original"), false));
            QCOMPARE(urls.Urls(), QList<QUrl>{QUrl::fromLocalFile(Path("photos"))});
        } else {
            QVERIFY(!QFileInfo::exists(Path("photos")));
            QVERIFY(urls.Urls().isEmpty());
        }
    }

    // A launcher that passes an empty argument: the worker says so, and the run ends once the
    // message is answered, as after any other failure, instead of leaving an empty window.
    void emptyPathIsRefusedAndTheRunEnds() {
        ProgressDLG window({});
        bool closedByTest = false;
        ModalDriver driver;
        driver.Ignore(&window);
        driver.Then([&](QWidget* box) {
            Answers::PressOk()(box);
            QTimer::singleShot(10000, &window, [&] {
                closedByTest = window.isVisible();
                window.close();
            });
        });
        QCOMPARE(window.exec(), int(QDialog::Rejected));
        QCOMPARE(driver.Summary(),
                 QStringList{"QMessageBox|Unzipper|Error: please select a valid zip file"});
        QVERIFY(!closedByTest);
    }

    // Enter ends the window as Esc does (tst_stop), also while the worker still unpacks: the
    // run is stopped and taken back before the window closes.
    void keyEndsTheWindowMidRun_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::newRow("Enter") << int(Qt::Key_Return) << int(Qt::NoModifier);
        QTest::newRow("Enter on the keypad") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
    }
    void keyEndsTheWindowMidRun() {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QCOMPARE(TestTree::RunPython(
                     "import sys, zipfile\n"
                     "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                     "    for i in range(20):\n"
                     "        z.writestr('zeros%02d.bin' % i, bytes(4 << 20))\n",
                     {Path("big.zip")}),
                 0);
        UrlCapture urls;
        ProgressDLG window(Path("big.zip"));
        bool workerRan = false;
        QTimer::singleShot(0, &window, [&] {
            workerRan = RunningThreadCount() > 0;
            QTest::keyClick(&window, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        });
        QCOMPARE(window.exec(), int(QDialog::Rejected));
        QVERIFY(workerRan);
        QVERIFY(GuiFixture::WaitForProgramThreads());
        QVERIFY(!QFileInfo::exists(Path("big")));
    }

private:
    QString Path(const QString& relative) const { return m_files->filePath(relative); }

    std::unique_ptr<QTemporaryDir> m_files;
};

QTEST_MAIN(TestProgressDlg)
#include "tst_progressdlg.moc"
