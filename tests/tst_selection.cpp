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

#include <tuple>

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

    // "chosen" is a path below the test folder, or how the picker is left: "<Esc>", "<close>".
    // "selected" names the flags set afterwards: unzip, zip, folder.
    void selectionOutcomes_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QStringList>("modals");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("selected");
        const auto row = [](const char* name, const char* button, const char* chosen,
                            const QStringList& modals, const QString& status,
                            const char* selected) {
            QTest::newRow(name) << button << chosen << modals << status << selected;
        };
        const QString unzipping = "One file has been selected for unzipping";
        const QString folderZip = "One folder has been selected for zipping";
        const QStringList cancelled{FilePicker, NoFileBox};
        row("an archive chosen for unzipping", "m_btnSelectUnzip", "photos.zip", {FilePicker},
            unzipping, "unzip folder");
        row("a typed archive name that does not exist is taken", "m_btnSelectUnzip", "missing.zip",
            {FilePicker}, unzipping, "unzip folder");
        row("a file chosen for zipping", "m_btnSelectZipFile", "notes/notes.txt", {FilePicker},
            "One file has been selected for zipping", "zip");
        row("a folder chosen for zipping", "m_btnSelectZipFolder", "album", {FolderPicker},
            folderZip, "zip folder");
        row("a folder whose name ends in a blank keeps it", "m_btnSelectZipFolder",
            "trailing blank ", {FolderPicker}, folderZip, "zip folder");
        row("the archive picker left with Esc", "m_btnSelectUnzip", "<Esc>", cancelled,
            NothingSelected, "folder");
        row("the zip file picker closed by its close box", "m_btnSelectZipFile", "<close>",
            cancelled, NothingSelected, "folder");
        row("the folder picker left with Esc: no message", "m_btnSelectZipFolder", "<Esc>",
            {FolderPicker}, NothingSelected, "folder");
    }
    void selectionOutcomes() {
        QFETCH(QString, button);
        QFETCH(QString, chosen);
        QFETCH(QStringList, modals);
        QFETCH(QString, status);
        QFETCH(QString, selected);
        // An earlier selection, which every outcome replaces.
        OperationState& state = OperationState::Instance();
        state.selectedPath = Path("previous");
        state.zipSelected = state.unzipSelected = state.zipFolder = true;

        const bool cancelled = chosen.startsWith('<');
        ModalDriver driver;
        if (!cancelled)
            driver.Then(Answers::TypePathAndAccept(Path(chosen)));
        else
            driver.Then(chosen == "<Esc>" ? Answers::PressEscape() : Answers::Close())
                .Then(Answers::PressOk());
        QTest::mouseClick(Button(button), Qt::LeftButton);

        QCOMPARE(driver.Summary(), modals);
        for (const ModalDriver::Record& record : driver.Seen()) {
            if (record.kind != "QFileDialog") // the folder picker stands on its own
                QCOMPARE(record.owner, m_window.get());
        }
        QCOMPARE(state.selectedPath, cancelled ? QString() : Path(chosen));
        AStatic* label = GuiFixture::StatusLabel(m_window.get());
        QCOMPARE(label->text(), status);
        QCOMPARE(label->TextColor(), cancelled ? QColor(200, 0, 0) : QColor(0, 155, 0));
        const QStringList flags = selected.split(' ');
        QCOMPARE(bool(state.unzipSelected), flags.contains("unzip"));
        QCOMPARE(bool(state.zipSelected), flags.contains("zip"));
        QCOMPARE(bool(state.zipFolder), flags.contains("folder"));
        QVERIFY(!state.busy);
    }

    // The first picker opens in the home folder; the next, of either kind, in the folder that
    // holds what was chosen last. A picker left without a choice changes nothing.
    void pickersOpenWhereTheLastPickWas_data() {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("second");
        QTest::addColumn<QString>("secondOpensIn");
        const auto row = [](const char* name, const char* first, const char* chosen,
                            const char* second, const char* secondOpensIn) {
            QTest::newRow(name) << first << chosen << second << secondOpensIn;
        };
        row("an archive, then the folder picker opens beside it", "m_btnSelectUnzip", "photos.zip",
            "m_btnSelectZipFolder", "");
        row("a file in a subfolder, then the archive picker opens there", "m_btnSelectZipFile",
            "notes/notes.txt", "m_btnSelectUnzip", "notes");
        row("a folder, then the file picker opens in the folder holding it", "m_btnSelectZipFolder",
            "notes", "m_btnSelectZipFile", "");
        row("nothing chosen: the next picker opens at home as well", "m_btnSelectZipFile", "<Esc>",
            "m_btnSelectZipFolder", "<home>");
    }
    void pickersOpenWhereTheLastPickWas() {
        QFETCH(QString, first);
        QFETCH(QString, chosen);
        QFETCH(QString, second);
        QFETCH(QString, secondOpensIn);
        const QByteArray home = qgetenv("HOME");
        QDir().mkpath(Path("home"));
        qputenv("HOME", QFile::encodeName(Path("home")));
        QString firstFolder;
        QString secondFolder;
        const auto openedIn = [](QString& folder) {
            return [&folder](QWidget* modal) {
                folder = qobject_cast<QFileDialog*>(modal)->directory().canonicalPath();
            };
        };
        ModalDriver driver;
        if (chosen == "<Esc>")
            driver.Then(Answers::Inspect(openedIn(firstFolder), Answers::PressEscape()))
                .Then(Answers::PressOk());
        else
            driver.Then(
                Answers::Inspect(openedIn(firstFolder), Answers::TypePathAndAccept(Path(chosen))));
        driver.Then(Answers::Inspect(openedIn(secondFolder), Answers::PressEscape()));
        if (second != "m_btnSelectZipFolder")
            driver.Then(Answers::PressOk());
        QTest::mouseClick(Button(first), Qt::LeftButton);
        QTest::mouseClick(Button(second), Qt::LeftButton);
        qputenv("HOME", home);

        QCOMPARE(driver.Pending(), 0);
        QCOMPARE(firstFolder, QDir(Path("home")).canonicalPath());
        const QString expected = secondOpensIn == "<home>" ? Path("home") : Path(secondOpensIn);
        QCOMPARE(secondFolder, QDir(expected).canonicalPath());
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
        const std::tuple<const char*, const char*, const char*> rows[] = {
            {"select an archive", "m_btnSelectUnzip", "Unzipper"},
            {"unzip", "m_btnUnzip", "Unzipper"},
            {"select a file to zip", "m_btnSelectZipFile", "Zipper"},
            {"select a folder to zip", "m_btnSelectZipFolder", "Zipper"},
            {"zip", "m_btnZip", "Zipper"}};
        for (const auto& [name, button, caption] : rows)
            QTest::newRow(name) << button << caption;
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
        QCOMPARE(driver.Seen().constFirst().owner, m_window.get());
        // Nothing else: no picker, no worker, the same selection, label and bar.
        QCOMPARE(RunningThreadCount(), 0);
        QVERIFY(state.busy && state.unzipSelected && !state.zipSelected);
        QCOMPARE(state.selectedPath, Path("photos.zip"));
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
