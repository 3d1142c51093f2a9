// Zipping and unzipping from the main window as a user does it: pick with the real pickers,
// start with the buttons, answer the boxes, then check the files, the bar and the reset.

#include "operation/OperationState.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "support/TestTree.h"
#include "support/ZipTools.h"
#include "ui/AStatic.h"
#include "ui/CTarvoDlg.h"

#include <QDir>
#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString NothingSelected = QStringLiteral("No file or folder has been selected !");
const QString ZipSucceeded = QStringLiteral("QMessageBox|Zipper|Zipping completed successfully.");
const QString UnzipSucceeded =
    QStringLiteral("QMessageBox|Unzipper|Unzipping completed successfully.");
const QString ZipFailed = QStringLiteral(
    "QMessageBox|Zipper|Error: Zipping did not complete. Make sure you have enough disk space!");
const QString UnzipFailed = QStringLiteral(
    "QMessageBox|Unzipper|Error: Unzipping did not complete. Make sure you have enough disk "
    "space and the zip file is not corrupt!");
const QString Refusal = QStringLiteral("QMessageBox|Zipper|One action in progress please wait!");

struct BarAtMessage {
    int value = -1;
    int maximum = -1;
};

} // namespace

class TestOperations : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setApplicationName(QStringLiteral("Tarvo"));
        QStandardPaths::setTestModeEnabled(true);
    }

    void init() {
        GuiFixture::ResetOperationState();
        m_files = std::make_unique<QTemporaryDir>();
        QVERIFY(m_files->isValid());
        m_urls = std::make_unique<UrlCapture>();
        m_window = std::make_unique<CTarvoDlg>();
        m_window->show();
    }

    void cleanup() {
        QVERIFY(GuiFixture::WaitForProgramThreads());
        m_window.reset();
        m_urls.reset();
        m_files.reset();
    }

    // "archive" is the archive written, unpacked here by Python's zipfile (empty for unzip:
    // the result is the folder "photos"); its tree must be "tree" as it was before.
    void operationsThroughTheButtons_data() {
        QTest::addColumn<QString>("select");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("barMaximum");
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QString>("opened");
        const auto row = [](const char* name, const char* select, const char* chosen,
                            const char* start, const QString& message, int barMaximum,
                            const char* archive, const char* tree, const char* opened) {
            QTest::newRow(name) << select << chosen << start << message << barMaximum << archive
                                << tree << opened;
        };
        // One step a file, one at the start and 100 for the bytes: the bar ends full.
        row("zip a folder", "m_btnSelectZipFolder", "album", "m_btnZip", ZipSucceeded, 104,
            "album.zip", "album", "");
        row("zip a file", "m_btnSelectZipFile", "docs/report.txt", "m_btnZip", ZipSucceeded, 100,
            "docs/report.txt.zip", "docs", "docs");
        row("unzip an archive", "m_btnSelectUnzip", "photos.zip", "m_btnUnzip", UnzipSucceeded, 100,
            "", "original", "photos");
    }
    void operationsThroughTheButtons() {
        QFETCH(QString, select);
        QFETCH(QString, chosen);
        QFETCH(QString, start);
        QFETCH(QString, message);
        QFETCH(int, barMaximum);
        QFETCH(QString, archive);
        QFETCH(QString, tree);
        QFETCH(QString, opened);
        TestTree::WriteFile(Path("album/a.txt"), TestTree::TextBytes(5000, 1));
        TestTree::WriteFile(Path("album/sub/b.bin"), TestTree::RandomBytes(300000, 2));
        TestTree::WriteFile(Path("album/sub/deeper/c.txt"), "c");
        TestTree::WriteFile(Path("docs/report.txt"), TestTree::TextBytes(800000, 3));
        TestTree::WriteFile(Path("original/one.txt"), TestTree::TextBytes(20000, 4));
        TestTree::WriteFile(Path("original/pics/two.bin"), TestTree::RandomBytes(100000, 5));
        TestTree::WriteFile(Path("original/pics/raw/three.txt"), "three");
        QCOMPARE(TestTree::Run("zip", {"-q", "-r", Path("photos.zip"), "."}, Path("original")), 0);
        const auto before = TestTree::Snapshot(Path(tree), false);
        BarAtMessage bar;
        ModalDriver driver;
        driver.Then(Answers::TypePathAndAccept(Path(chosen)))
            .Then(Answers::Inspect(ReadBar(bar), Answers::PressOk()));

        QTest::mouseClick(Button(select), Qt::LeftButton);
        QCOMPARE(Status()->TextColor(), QColor(0, 155, 0));
        QTest::mouseClick(Button(start), Qt::LeftButton);
        QTRY_COMPARE(driver.Pending(), 0);
        QTRY_VERIFY(!OperationState::Instance().busy);

        QCOMPARE(driver.Summary().constLast(), message);
        QCOMPARE(bar.maximum, barMaximum);
        QCOMPARE(bar.value, barMaximum);
        QString result = Path("photos");
        if (!archive.isEmpty()) {
            result = Path("unpacked");
            const QString error = ZipTools::TestAndUnpack("python", Path(archive), result);
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        QCOMPARE(TestTree::Snapshot(result, false), before);
        QTRY_COMPARE(m_urls->Urls(), QList<QUrl>{QUrl::fromLocalFile(Path(opened))});
        VerifyReset();
    }

    void failedOperationsResetTheSelection_data() {
        QTest::addColumn<QString>("selectButton");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("startButton");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("leftAlone"); // must not exist afterwards
        QTest::newRow("unzip of a file that is no archive")
            << "m_btnSelectUnzip"
            << "broken.zip"
            << "m_btnUnzip" << UnzipFailed << "broken";
        QTest::newRow("zip of a typed file name that does not exist")
            << "m_btnSelectZipFile"
            << "ghost.txt"
            << "m_btnZip" << ZipFailed << "ghost.txt.zip";
    }

    void failedOperationsResetTheSelection() {
        QFETCH(QString, selectButton);
        QFETCH(QString, chosen);
        QFETCH(QString, startButton);
        QFETCH(QString, failure);
        QFETCH(QString, leftAlone);
        TestTree::WriteFile(Path("broken.zip"), TestTree::RandomBytes(4096, 6));
        ModalDriver driver;
        driver.Then(Answers::TypePathAndAccept(Path(chosen))).Then(Answers::PressOk());

        QTest::mouseClick(Button(selectButton), Qt::LeftButton);
        QCOMPARE(Status()->TextColor(), QColor(0, 155, 0));
        QTest::mouseClick(Button(startButton), Qt::LeftButton);
        QTRY_COMPARE(driver.Pending(), 0);
        QTRY_VERIFY(!OperationState::Instance().busy);

        QCOMPARE(driver.Summary().constLast(), failure);
        QCOMPARE(driver.Seen().constLast().owner, m_window.get());
        QVERIFY(!QFileInfo::exists(Path(leftAlone)));
        QVERIFY(m_urls->Urls().isEmpty());
        VerifyReset();
    }

    // The second click comes before the first worker could say anything: it is refused, and
    // only one archive is written.
    void twoQuickClicksOnZipStartOneWorker() {
        TestTree::WriteFile(Path("notes.txt"), TestTree::TextBytes(100000, 7));
        ModalDriver driver;
        driver.Then(Answers::TypePathAndAccept(Path("notes.txt")))
            .Then(Answers::PressOk())
            .Then(Answers::PressOk());
        QTest::mouseClick(Button("m_btnSelectZipFile"), Qt::LeftButton);
        QTest::mouseClick(Button("m_btnZip"), Qt::LeftButton);
        QTest::mouseClick(Button("m_btnZip"), Qt::LeftButton);
        QTRY_COMPARE(driver.Pending(), 0);
        QTRY_VERIFY(!OperationState::Instance().busy);

        const QStringList boxes = driver.Summary().mid(1);
        QCOMPARE(boxes.count(Refusal), 1);
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes.count(ZipSucceeded), 1);
        QCOMPARE(ZipTools::ListEntries(Path("notes.txt.zip")).size(), 1);
        VerifyReset();
    }

private:
    QString Path(const QString& relative) const { return m_files->filePath(relative); }
    QPushButton* Button(const QString& name) const {
        return m_window->findChild<QPushButton*>(name);
    }
    AStatic* Status() const { return GuiFixture::StatusLabel(m_window.get()); }
    QProgressBar* Bar() const { return m_window->findChild<QProgressBar*>("m_progress"); }

    // Reads the bar while the worker's closing message is up.
    std::function<void(QWidget*)> ReadBar(BarAtMessage& bar) const {
        return [this, &bar](QWidget*) {
            bar.value = Bar()->value();
            bar.maximum = Bar()->maximum();
        };
    }

    // After every operation: nothing selected, an empty bar, and the commands free again.
    void VerifyReset() {
        const OperationState& state = OperationState::Instance();
        QCOMPARE(Status()->text(), NothingSelected);
        QCOMPARE(Status()->TextColor(), QColor(200, 0, 0));
        QCOMPARE(Bar()->value(), 0);
        QVERIFY(state.selectedPath.isEmpty());
        QVERIFY(!state.zipSelected);
        QVERIFY(!state.unzipSelected);
        QVERIFY(!state.busy);
    }

    std::unique_ptr<QTemporaryDir> m_files;
    std::unique_ptr<UrlCapture> m_urls;
    std::unique_ptr<CTarvoDlg> m_window;
};

QTEST_MAIN(TestOperations)
#include "tst_operations.moc"
