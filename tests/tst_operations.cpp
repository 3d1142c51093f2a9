// Zipping and unzipping from the main window as a user does it: pick with the real pickers,
// start with the buttons, answer the boxes, then check the files, the bar and the reset.

#include "operation/OperationState.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "support/TestTree.h"
#include "support/ZipTools.h"
#include "ui/AStatic.h"
#include "ui/CTarvoDlg.h"

#include <QFileInfo>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>

#include <optional>

class TestOperations : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setApplicationName(QStringLiteral("Tarvo"));
        QStandardPaths::setTestModeEnabled(true);
    }

    void init() {
        m_case.emplace();
        m_urls.emplace();
        m_window = std::make_unique<CTarvoDlg>();
        m_window->show();
    }

    void cleanup() {
        m_case.reset(); // once the program's threads have ended
        m_window.reset();
        m_urls.reset();
    }

    // Every operation, done or failed, ends with its message over the window, the bar full, the
    // folder shown after a success only, and the window reset.
    void operationsThroughTheButtons_data() {
        QTest::addColumn<QString>("select");
        QTest::addColumn<QString>("chosen"); // typed into the picker
        // One step a file, one at the start, 100 for bytes; none when the run fails.
        QTest::addColumn<int>("barMaximum");
        // What the run writes, which holds the album as Python's zipfile unpacks it; a failure
        // leaves nothing.
        QTest::addColumn<QString>("made");
        const auto row = [](const char* name, const QString& select, const QString& chosen,
                            int barMaximum, const QString& made) {
            QTest::newRow(name) << select << chosen << barMaximum << made;
        };
        row("zip a folder", "m_btnSelectZipFolder", "album", 104, "album.zip");
        row("unzip an archive", "m_btnSelectUnzip", "photos.zip", 100, "photos");
        row("unzip of a file that is no archive", "m_btnSelectUnzip", "broken.zip", 0, "broken");
        row("zip of a typed name that does not exist", "m_btnSelectZipFile", "ghost", 0,
            "ghost.zip");
    }
    void operationsThroughTheButtons() {
        QFETCH(QString, select);
        QFETCH(QString, chosen);
        QFETCH(int, barMaximum);
        QFETCH(QString, made);
        TestTree::WriteFile(Path("album/a.txt"), TestTree::TextBytes(5000, 1));
        TestTree::WriteFile(Path("album/sub/b.bin"), TestTree::RandomBytes(300000, 2));
        TestTree::WriteFile(Path("album/sub/deeper/c.txt"), "c");
        TestTree::WriteFile(Path("broken.zip"), TestTree::RandomBytes(4096, 6));
        QCOMPARE(TestTree::Run("zip", {"-q", "-r", Path("photos.zip"), "."}, Path("album")), 0);
        const auto before = TestTree::Snapshot(Path("album"), false);
        QPair<int, int> bar; // value and maximum
        const auto readBar = [&](QWidget*) { bar = {Bar()->value(), Bar()->maximum()}; };
        ModalDriver driver;
        driver.Then(Answers::TypePathAndAccept(Path(chosen)))
            .Then(Answers::Inspect(readBar, Answers::PressOk()));

        QTest::mouseClick(Button(select), Qt::LeftButton);
        QCOMPARE(Status()->TextColor(), QColor(0, 155, 0));
        const bool unzip = select == QLatin1String("m_btnSelectUnzip");
        QTest::mouseClick(Button(unzip ? "m_btnUnzip" : "m_btnZip"), Qt::LeftButton);
        QTRY_COMPARE(driver.Pending(), 0);
        QTRY_VERIFY(!OperationState::Instance().busy);

        const ModalDriver::Record box = driver.Seen().constLast();
        QCOMPARE(box.owner, m_window.get());
        QVERIFY2(box.text.startsWith("Error: ") == (barMaximum == 0), qPrintable(box.text));
        if (barMaximum == 0) {
            QVERIFY(!QFileInfo::exists(Path(made)));
            QVERIFY(m_urls->Urls().isEmpty());
            return VerifyReset();
        }
        QCOMPARE(bar, qMakePair(barMaximum, barMaximum));
        QString result = Path(made);
        if (!unzip) {
            result = Path("unpacked");
            const QString error = ZipTools::TestAndUnpack("python", Path(made), result);
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        QCOMPARE(TestTree::Snapshot(result, false), before);
        const QString opened = unzip ? Path(made) : m_case->Root(); // the result's folder
        QTRY_COMPARE(m_urls->Urls(), QList<QUrl>{QUrl::fromLocalFile(opened)});
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
        QStringList boxes = driver.Summary().mid(1);
        boxes.sort(); // the refusal may come before or after the worker's message
        QCOMPARE(boxes, (QStringList{"QMessageBox|Zipper|One action in progress please wait!",
                                     "QMessageBox|Zipper|Zipping completed successfully."}));
        QCOMPARE(ZipTools::ListEntries(Path("notes.txt.zip")).size(), 1);
        VerifyReset();
    }

private:
    QString Path(const QString& relative) const { return m_case->Path(relative); }
    QPushButton* Button(const QString& name) const {
        return m_window->findChild<QPushButton*>(name);
    }
    AStatic* Status() const { return GuiFixture::StatusLabel(m_window.get()); }
    QProgressBar* Bar() const { return m_window->findChild<QProgressBar*>("m_progress"); }

    // After every operation: nothing selected, an empty bar, and the commands free again.
    void VerifyReset() {
        const OperationState& state = OperationState::Instance();
        QCOMPARE(Status()->text(), QStringLiteral("No file or folder has been selected !"));
        QCOMPARE(Status()->TextColor(), QColor(200, 0, 0));
        QCOMPARE(Bar()->value(), 0);
        QVERIFY(state.selectedPath.isEmpty() && !state.zipSelected && !state.unzipSelected);
    }

    std::optional<GuiFixture::Case> m_case;
    std::optional<UrlCapture> m_urls;
    std::unique_ptr<CTarvoDlg> m_window;
};

QTEST_MAIN(TestOperations)
#include "tst_operations.moc"
