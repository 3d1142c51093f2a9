// The three selection commands of the main window with the real pickers, the refusal of every
// command while an operation runs, and the workers' refusal of a selection of the wrong kind.

#include "operation/OperationState.h"
#include "operation/ThreadStart.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "support/TestTree.h"
#include "ui/AStatic.h"
#include "ui/CTarvoDlg.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString NothingSelected = QStringLiteral("No file or folder has been selected !");
const QString FilePickerTitle =
    QStringLiteral("Select only one file and click on the Select button below");
const QString FolderPickerTitle =
    QStringLiteral("Select a folder and click on the OK button below");
const QString FilePicker = "AFileDialog|" + FilePickerTitle + '|';
const QString FolderPicker = "QFileDialog|" + FolderPickerTitle + '|';
const QString NoFileBox = QStringLiteral("QMessageBox|Tarvo|No File Selected!");

} // namespace

class TestSelection : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setApplicationName(QStringLiteral("Tarvo"));
        // The file dialog keeps its history in the settings; keep that out of the user's.
        QStandardPaths::setTestModeEnabled(true);
    }

    void init() {
        GuiFixture::ResetOperationState();
        QVERIFY(m_files.isValid());
        TestTree::WriteFile(Path("photos.zip"), "not read by a selection");
        TestTree::WriteFile(Path("notes/notes.txt"), "some notes");
        QDir().mkpath(Path("album"));
        QDir().mkpath(Path("trailing blank "));
        m_window = std::make_unique<CTarvoDlg>();
        m_window->show();
    }

    void cleanup() {
        QVERIFY(GuiFixture::WaitForProgramThreads());
        m_window.reset();
    }

    void selectionOutcomes_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("chosen"); // relative to the test folder; empty: cancel
        QTest::addColumn<QString>("cancelBy");
        QTest::addColumn<QStringList>("modals");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("unzipSelected");
        QTest::addColumn<bool>("zipSelected");
        QTest::addColumn<bool>("zipFolder");

        QTest::newRow("an archive chosen for unzipping")
            << "m_btnSelectUnzip"
            << "photos.zip"
            << "" << QStringList{FilePicker} << "One file has been selected for unzipping" << true
            << false << true;
        QTest::newRow("a typed archive name that does not exist is taken")
            << "m_btnSelectUnzip"
            << "missing.zip"
            << "" << QStringList{FilePicker} << "One file has been selected for unzipping" << true
            << false << true;
        QTest::newRow("a file chosen for zipping")
            << "m_btnSelectZipFile"
            << "notes/notes.txt"
            << "" << QStringList{FilePicker} << "One file has been selected for zipping" << false
            << true << false;
        QTest::newRow("a folder chosen for zipping")
            << "m_btnSelectZipFolder"
            << "album"
            << "" << QStringList{FolderPicker} << "One folder has been selected for zipping"
            << false << true << true;
        QTest::newRow("a folder whose name ends in a blank keeps it")
            << "m_btnSelectZipFolder"
            << "trailing blank "
            << "" << QStringList{FolderPicker} << "One folder has been selected for zipping"
            << false << true << true;
        QTest::newRow("the archive picker left with Esc")
            << "m_btnSelectUnzip"
            << ""
            << "Esc" << QStringList{FilePicker, NoFileBox} << NothingSelected << false << false
            << true;
        QTest::newRow("the zip file picker closed by its close box")
            << "m_btnSelectZipFile"
            << ""
            << "close" << QStringList{FilePicker, NoFileBox} << NothingSelected << false << false
            << true;
        QTest::newRow("the folder picker left with Esc: no message")
            << "m_btnSelectZipFolder"
            << ""
            << "Esc" << QStringList{FolderPicker} << NothingSelected << false << false << true;
    }

    void selectionOutcomes() {
        QFETCH(QString, button);
        QFETCH(QString, chosen);
        QFETCH(QString, cancelBy);
        QFETCH(QStringList, modals);
        QFETCH(QString, status);
        QFETCH(bool, unzipSelected);
        QFETCH(bool, zipSelected);
        QFETCH(bool, zipFolder);

        // An earlier selection, which every outcome replaces.
        OperationState& state = OperationState::Instance();
        state.selectedPath = Path("previous");
        state.zipSelected = true;
        state.unzipSelected = true;
        state.zipFolder = true;

        ModalDriver driver;
        if (!chosen.isEmpty())
            driver.Then(Answers::TypePathAndAccept(Path(chosen)));
        else
            driver.Then(cancelBy == "Esc" ? Answers::PressEscape() : Answers::Close())
                .Then(Answers::PressOk());
        QTest::mouseClick(Button(button), Qt::LeftButton);

        QCOMPARE(driver.Summary(), modals);
        for (const ModalDriver::Record& record : driver.Seen()) {
            QVERIFY(!record.hasIcon);
            if (record.kind == "QMessageBox")
                QCOMPARE(record.owner, m_window.get());
        }
        QCOMPARE(state.selectedPath, chosen.isEmpty() ? QString() : Path(chosen));
        AStatic* label = GuiFixture::StatusLabel(m_window.get());
        QCOMPARE(label->text(), status);
        QCOMPARE(label->TextColor(), chosen.isEmpty() ? QColor(200, 0, 0) : QColor(0, 155, 0));
        QCOMPARE(bool(state.unzipSelected), unzipSelected);
        QCOMPARE(bool(state.zipSelected), zipSelected);
        QCOMPARE(bool(state.zipFolder), zipFolder);
        QVERIFY(!state.busy);
    }

    void filePickerOffersOneFile_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("filters");
        QTest::newRow("archive picker lists zip files")
            << "m_btnSelectUnzip" << QStringList{"Zip Files(*.zip)"};
        QTest::newRow("zip file picker lists all files")
            << "m_btnSelectZipFile" << QFileDialog().nameFilters();
    }

    void filePickerOffersOneFile() {
        QFETCH(QString, button);
        QFETCH(QStringList, filters);
        QFileDialog::FileMode mode{};
        QFileDialog::AcceptMode acceptMode{};
        QFileDialog::Options options{};
        QStringList shownFilters;
        QString acceptText;
        QWidget* owner = nullptr;
        ModalDriver driver;
        driver
            .Then(Answers::Inspect(
                [&](QWidget* modal) {
                    auto* dialog = qobject_cast<QFileDialog*>(modal);
                    mode = dialog->fileMode();
                    acceptMode = dialog->acceptMode();
                    options = dialog->options();
                    shownFilters = dialog->nameFilters();
                    acceptText = Answers::AcceptButtonOf(dialog)->text();
                    owner = dialog->parentWidget();
                },
                Answers::PressEscape()))
            .Then(Answers::PressOk());
        QTest::mouseClick(Button(button), Qt::LeftButton);
        QCOMPARE(driver.Seen().size(), 2);
        QCOMPARE(driver.Seen().constFirst().title, FilePickerTitle);
        QCOMPARE(mode, QFileDialog::AnyFile);
        QCOMPARE(acceptMode, QFileDialog::AcceptOpen);
        QVERIFY(options.testFlag(QFileDialog::DontUseNativeDialog));
        QCOMPARE(shownFilters, filters);
        QCOMPARE(acceptText, QStringLiteral("Select"));
        QCOMPARE(owner, m_window.get());
    }

    void folderPickerOffersFolders() {
        QFileDialog::FileMode mode{};
        QFileDialog::Options options{};
        QString acceptText;
        ModalDriver driver;
        driver.Then(Answers::Inspect(
            [&](QWidget* modal) {
                auto* dialog = qobject_cast<QFileDialog*>(modal);
                mode = dialog->fileMode();
                options = dialog->options();
                acceptText = Answers::AcceptButtonOf(dialog)->text();
            },
            Answers::PressEscape()));
        QTest::mouseClick(Button("m_btnSelectZipFolder"), Qt::LeftButton);
        QCOMPARE(driver.Summary(), QStringList{FolderPicker});
        QCOMPARE(mode, QFileDialog::Directory);
        QVERIFY(options.testFlag(QFileDialog::ShowDirsOnly));
        QVERIFY(options.testFlag(QFileDialog::DontUseNativeDialog));
        QCOMPARE(acceptText, QStringLiteral("OK"));
    }

    void choosingAFileMovesIntoItsFolder() {
        QDir::setCurrent(QDir::tempPath());
        ModalDriver driver;
        driver.Then(Answers::TypePathAndAccept(Path("notes/notes.txt")));
        QTest::mouseClick(Button("m_btnSelectZipFile"), Qt::LeftButton);
        QCOMPARE(QDir::current().canonicalPath(), QDir(Path("notes")).canonicalPath());
    }

    void everyCommandIsRefusedWhileBusy_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("caption");
        QTest::newRow("select an archive") << "m_btnSelectUnzip"
                                           << "Unzipper";
        QTest::newRow("unzip") << "m_btnUnzip"
                               << "Unzipper";
        QTest::newRow("select a file to zip") << "m_btnSelectZipFile"
                                              << "Zipper";
        QTest::newRow("select a folder to zip") << "m_btnSelectZipFolder"
                                                << "Zipper";
        QTest::newRow("zip") << "m_btnZip"
                             << "Zipper";
    }

    void everyCommandIsRefusedWhileBusy() {
        QFETCH(QString, button);
        QFETCH(QString, caption);
        OperationState& state = OperationState::Instance();
        state.selectedPath = Path("photos.zip");
        state.unzipSelected = true;
        state.busy = true;
        auto* bar = m_window->findChild<QProgressBar*>("m_progress");
        bar->setValue(37);
        AStatic* label = GuiFixture::StatusLabel(m_window.get());

        ModalDriver driver;
        driver.Then(Answers::PressOk());
        QTest::mouseClick(Button(button), Qt::LeftButton);

        QCOMPARE(driver.Summary(),
                 QStringList{"QMessageBox|" + caption + "|One action in progress please wait!"});
        const ModalDriver::Record& box = driver.Seen().constFirst();
        QVERIFY(!box.hasIcon);
        QCOMPARE(box.buttons.size(), 1);
        QCOMPARE(box.owner, m_window.get());
        // Nothing else: no picker, no worker, the same selection, label and bar.
        QCOMPARE(RunningThreadCount(), 0);
        QVERIFY(state.busy);
        QCOMPARE(state.selectedPath, Path("photos.zip"));
        QVERIFY(state.unzipSelected);
        QVERIFY(!state.zipSelected);
        QCOMPARE(GuiFixture::StatusLabel(m_window.get()), label);
        QCOMPARE(bar->value(), 37);
    }

    // Steps: "button=path" chooses in the picker, "button=" cancels it, "button" just clicks.
    void workersRefuseASelectionOfTheWrongKind_data() {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<QString>("status");
        const QString noArchive = "QMessageBox|Unzipper|Error: please select a valid zip file";
        const QString nothingToZip =
            "QMessageBox|Zipper|Please select a file or a folder for zipping ";
        QTest::newRow("unzip with nothing selected")
            << QStringList{"m_btnUnzip"} << noArchive << NothingSelected;
        QTest::newRow("zip with nothing selected")
            << QStringList{"m_btnZip"} << nothingToZip << NothingSelected;
        QTest::newRow("an archive, then a file to zip: unzip is refused")
            << QStringList{"m_btnSelectUnzip=photos.zip", "m_btnSelectZipFile=notes/notes.txt",
                           "m_btnUnzip"}
            << noArchive << "One file has been selected for zipping";
        QTest::newRow("a folder to zip, then an archive: zip is refused")
            << QStringList{"m_btnSelectZipFolder=album", "m_btnSelectUnzip=photos.zip", "m_btnZip"}
            << nothingToZip << "One file has been selected for unzipping";
        QTest::newRow("a file to zip, then a cancelled picker: zip is refused")
            << QStringList{"m_btnSelectZipFile=notes/notes.txt", "m_btnSelectZipFile=", "m_btnZip"}
            << nothingToZip << NothingSelected;
    }

    void workersRefuseASelectionOfTheWrongKind() {
        QFETCH(QStringList, steps);
        QFETCH(QString, refusal);
        QFETCH(QString, status);
        ModalDriver driver;
        for (const QString& step : steps) {
            const QString button = step.section('=', 0, 0);
            if (step.contains('=')) {
                const QString chosen = step.section('=', 1);
                if (chosen.isEmpty())
                    driver.Then(Answers::PressEscape()).Then(Answers::PressOk());
                else
                    driver.Then(Answers::TypePathAndAccept(Path(chosen)));
            } else {
                driver.Then(Answers::PressOk());
            }
            QTest::mouseClick(Button(button), Qt::LeftButton);
        }
        QTRY_COMPARE(driver.Pending(), 0);
        QTRY_VERIFY(!OperationState::Instance().busy);
        QCOMPARE(driver.Summary().constLast(), refusal);
        QCOMPARE(driver.Seen().constLast().owner, m_window.get());
        QCOMPARE(GuiFixture::StatusLabel(m_window.get())->text(), status);
    }

private:
    QString Path(const QString& relative) const { return m_files.filePath(relative); }
    QPushButton* Button(const QString& name) const {
        return m_window->findChild<QPushButton*>(name);
    }

    QTemporaryDir m_files;
    std::unique_ptr<CTarvoDlg> m_window;
};

QTEST_MAIN(TestSelection)
#include "tst_selection.moc"
