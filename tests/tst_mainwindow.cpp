// The main window: as it opens and as it is seen (that every text is readable at any font, that
// the clicks reach the buttons, the status label's colour, how a long text is shortened and runs
// on, and that every change replaces the label without leaving anything of the earlier text
// behind); its three selection commands with the real pickers, the workers' refusal of a
// selection of the wrong kind or of none, and the refusal of every command while an operation
// runs; zipping and unzipping through the buttons, up to the result, the bar and the reset;
// About, from MORE and from the context menu, and the companion program MORE starts.
//
// The progress window of the two direct modes: `tarvo ARCHIVE` for a double-clicked archive, and
// `tarvo --zip PATH` as a file manager's zip entry starts it. The window runs the main window's
// worker on its path as soon as it shows, fills its bar, says what the main window would say,
// shows the folder after a success and ends the run by itself, also after a failure or a
// refusal. The built program on a display is in tst_commandline.
//
// Stopping in the middle: Ctrl-C, TERM, Esc, Enter or the close box during a run stop the worker,
// and what the run wrote goes with it: its staging folder, the entries it had put in place, the
// folders it created, the destination it created, the half-written archive. What stood there
// before stays as it was, an earlier archive byte for byte.

#include "archive/Messages.h"
#include "operation/OperationState.h"
#include "operation/ThreadStart.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "support/TestTree.h"
#include "support/ZipTools.h"
#include "ui/AStatic.h"
#include "ui/CAboutDlg.h"
#include "ui/CTarvoDlg.h"
#include "ui/ProgressDLG.h"
#include "ui/SiblingProgram.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <optional>

namespace {

const QRgb Red = qRgb(200, 0, 0);
const QRgb Green = qRgb(0, 155, 0);
// A full block: a glyph without side bearings, so its ink starts where the text starts.
const QString Block = QString(QChar(0x2588));

QImage Screen(QWidget& window) {
    return window.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The rectangle holding every pixel that shows some of this text colour, smoothed edges
// included: the window and its controls are grey, so any clear tint of the colour's own channel
// comes from the text. Null when there is none.
QRect Extent(const QImage& image, QRgb colour) {
    QRect extent;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            const int red = qRed(pixel), green = qGreen(pixel), blue = qBlue(pixel);
            if (colour == Red ? red - std::max(green, blue) > 30 : green - std::max(red, blue) > 30)
                extent |= QRect(x, y, 1, 1);
        }
    return extent;
}

const QMap<QString, QString> Buttons{{"archive", "m_btnSelectUnzip"},
                                     {"unzip", "m_btnUnzip"},
                                     {"file", "m_btnSelectZipFile"},
                                     {"folder", "m_btnSelectZipFolder"},
                                     {"zip", "m_btnZip"}};

const QString NothingSelected = QStringLiteral("No file or folder has been selected !");
const QString Unzipping = QStringLiteral("One file has been selected for unzipping");
const QString FileZip = QStringLiteral("One file has been selected for zipping");
const QString FolderZip = QStringLiteral("One folder has been selected for zipping");
const QString FilePicker = QStringLiteral("AFileDialog"), FolderPicker = "QFileDialog";
const QString NoFile = QStringLiteral("No File Selected!");
const QString Busy = QStringLiteral("One action in progress please wait!");
// What the workers say.
using namespace Messages;

// What init() makes in the case folder (TestTree::Make's items, split at ", "), and beside them
// photos.zip holding the album as zip packs it, and an older album.zip to be replaced.
const char Tree[] = "home/, notes/notes.txt=some notes, trailing blank /, album/a.txt=a, "
                    "album/sub/b.bin, album/sub/deeper/c.txt=c, broken.zip=no archive at all, "
                    "link -> album";

// A step is "button=path" to choose path in the picker the button opens, "button=<Esc>" or
// "button=<close>" to leave the picker so, or "button" alone for a command, with the buttons
// named as in Buttons. An operation that completes fills the bar to `bar` (one step at the
// start, one a file, 100 for the bytes) and writes `made` in the case folder, holding the album.
struct Steps {
    QStringList steps;
    QStringList modals;
    QString status;
    int bar = 0;
    QString made = {};
};

// given and result are relative to the case folder; no result after a failure.
struct Run {
    DirectOperation operation;
    QString given;
    QString result;
    QString message;
};

enum class Program { Cli, Window, InProcessWindow };

// existing: the destination folder, or the archive, was there before. stop: the signal sent to
// a program, or the key pressed in the window in the test's process (0 for its close box).
struct Row {
    Program program;
    bool zip;
    bool existing;
    int stop;
};

} // namespace

Q_DECLARE_METATYPE(Steps)
Q_DECLARE_METATYPE(Run)
Q_DECLARE_METATYPE(Row)

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The stopped runs' source and archive, made once.
        QVERIFY(m_work.isValid());
        TestTree::WriteFile(Work("source/a/one.txt"), TestTree::TextBytes(20000, 1));
        TestTree::WriteFile(Work("source/a/b/two.bin"), TestTree::RandomBytes(30000, 2));
        TestTree::WriteFile(Work("source/big/large.txt"), TestTree::TextBytes(64 << 20, 3));
        // Small entries first, so some are in place before the large one keeps the run busy for
        // seconds on any machine.
        QCOMPARE(TestTree::Run("zip",
                               {"-q", "-Z", "bzip2", "-1", "../data.zip", "a/one.txt",
                                "a/b/two.bin", "big/large.txt"},
                               Work("source")),
                 0);
    }

    void init() {
        m_case.emplace();
        for (const QString& item : QString(Tree).split(", "))
            TestTree::Make(m_case->Root(), item);
        QCOMPARE(TestTree::Run("zip", {"-q", "-r", Path("photos.zip"), "."}, Path("album")), 0);
        QCOMPARE(TestTree::Run("zip", {"-q", Path("album.zip"), Path("notes/notes.txt")}), 0);
        qputenv("HOME", QFile::encodeName(Path("home")));
        m_window = std::make_unique<CTarvoDlg>();
        m_window->show();
    }
    void cleanup() {
        qputenv("HOME", m_home);
        m_case.reset(); // once the program's threads have ended
        m_window.reset();
        QApplication::setFont(m_font);
        SiblingProgram::SetLauncher({});
    }

    // A fresh window starts from nothing selected, in red, whatever state it finds, with the
    // focus on the first button, and every text readable whole at any font. Frames and the
    // status label lie over the buttons; the clicks must still reach them, also under a status
    // text that runs to the window's edge, and MORE is drawn over the text.
    void opensWholeAtAnyFontAndTakesTheClicks_data() {
        QTest::addColumn<QFont>("font");
        QTest::newRow("default font") << QApplication::font();
        QTest::newRow("large font") << QFont(QApplication::font().family(), 20);
        QTest::newRow("monospace font, wide blanks") << QFont("DejaVu Sans Mono", 11);
    }
    void opensWholeAtAnyFontAndTakesTheClicks() {
        QFETCH(QFont, font);
        QApplication::setFont(font);
        OperationState::Instance().busy = OperationState::Instance().zipSelected = true;
        m_window = std::make_unique<CTarvoDlg>();
        m_window->show();
        VerifyStatus(NothingSelected);
        QCOMPARE(m_window->focusWidget(), Button("m_btnSelectUnzip"));
        QVERIFY(!m_window->windowIcon().pixmap(128).isNull());
        // Every label's and button's text fits in it, and inside the window.
        for (QWidget* widget : m_window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const QString text = widget->property("text").toString();
            const QRect needed(widget->pos(), QSize(widget->fontMetrics().horizontalAdvance(text),
                                                    widget->fontMetrics().height()));
            QVERIFY2(text.isEmpty() ||
                         (widget->geometry().contains(needed) && m_window->rect().contains(needed)),
                     qPrintable(text + " is cut"));
        }
        // The status reads on after its caption without writing over it.
        auto* caption = m_window->findChild<QLabel*>("m_lblFileSelection");
        QVERIFY(Status()->x() + 2 >
                caption->x() + caption->fontMetrics().horizontalAdvance(caption->text()));

        m_window->ShowStatus(QString(84, 'W'), 1);
        for (QPushButton* button : m_window->findChildren<QPushButton*>()) {
            const QRect spot = button->geometry().adjusted(2, 2, -2, -2);
            for (const QPoint& point : {spot.center(), spot.topLeft(), spot.bottomRight()})
                QCOMPARE(m_window->childAt(point), button);
        }
        const QRect more = Button("m_btnMore")->geometry().adjusted(2, 2, -2, -2);
        QVERIFY(Extent(Screen(*m_window).copy(more), Red).isNull());
    }

    // Red while the warning flag is set (any non-zero value), else green. 80 UTF-16 units are
    // drawn, then four dots; a surrogate pair across the cut is left out whole. A long text runs
    // on to the window's edge, far past the label's nominal 100 pixels. Each change replaces the
    // label and leaves nothing of the text before, a long one in the other colour; the label
    // has no background of its own.
    void statusIsDrawnAndReplaced_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("warning");
        QTest::addColumn<QString>("drawn");
        const QString eighty = QString("0123456789").repeated(8);
        const QString face = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units
        const QString faces = QString(40, 'a') + face.repeated(20);
        QTest::newRow("80 units, warning") << eighty << 1 << eighty;
        QTest::newRow("81 units, no warning") << eighty + "X" << 0 << eighty + "....";
        QTest::newRow("empty text") << QString() << 1 << QString();
        QTest::newRow("units, not characters, are counted") << faces << 1 << faces;
        QTest::newRow("a surrogate pair across the cut")
            << QString(79, 'a') + face + "b" << 0 << QString(79, 'a') + "....";
        QTest::newRow("full blocks to the edge, negative warning")
            << Block.repeated(84) << -1 << Block.repeated(80) + "....";
    }
    void statusIsDrawnAndReplaced() {
        QFETCH(QString, text);
        QFETCH(int, warning);
        QFETCH(QString, drawn);
        m_window->ShowStatus(Block.repeated(84), !warning);
        const QPointer<AStatic> before = Status();
        m_window->ShowStatus(text, warning);
        AStatic* status = Status();
        QVERIFY(before.isNull());
        QCOMPARE(status->text(), text);
        QCOMPARE(status->DisplayedText(), drawn);
        QCOMPARE(status->TextColor().rgb(), warning ? Red : Green);
        const QImage screen = Screen(*m_window);
        QVERIFY(Extent(screen, warning ? Green : Red).isNull());
        const QRect ink = Extent(screen, warning ? Red : Green);
        QVERIFY(ink.right() <= status->x() + 3 + status->fontMetrics().horizontalAdvance(drawn));
        if (text.startsWith(Block))
            QCOMPARE(ink.right(), m_window->width() - 1);
        if (text.isEmpty())
            QCOMPARE(QColor(screen.pixel(status->pos() + QPoint(1, 1))),
                     m_window->palette().color(QPalette::Window));
    }

    // Each choice replaces the one before, and a picker left without one selects nothing: the
    // file picker says so, the folder picker does not. A chosen file's folder becomes the
    // current one. Unzip and Zip refuse a selection of the other kind, or none. The first
    // picker opens at home; the next, of either kind, in the folder that holds what was chosen
    // last. Every operation, done or failed, ends with its message over the window, the bar
    // full, the folder shown after a success only, the window reset and nothing else written.
    void stepsEndInTheirSelection_data() {
        QTest::addColumn<Steps>("row");
        const auto row = [](const char* name, const QStringList& steps, const QStringList& modals,
                            const QString& status, int bar = 0, const QString& made = {}) {
            QTest::newRow(name) << Steps{steps, modals, status, bar, made};
        };
        const auto file = [](const char* in) { return FilePicker + " in " + in; };
        const auto folder = [](const char* in) { return FolderPicker + " in " + in; };
        row("an archive, then a typed archive name that does not exist is taken",
            {"archive=photos.zip", "archive=missing.zip"}, {file("home"), file(".")}, Unzipping);
        row("a folder whose name ends in a blank keeps it", {"folder=trailing blank "},
            {folder("home")}, FolderZip);
        row("the file picker closed by its close box, then the folder picker left",
            {"file=<close>", "folder=<Esc>"}, {file("home"), NoFile, folder("home")},
            NothingSelected);
        row("an archive, then a file: unzip is refused",
            {"archive=photos.zip", "file=notes/notes.txt", "unzip"},
            {file("home"), file("."), SelectZipFile}, FileZip);
        row("a folder, then an archive: zip is refused",
            {"folder=album", "archive=photos.zip", "zip"}, {folder("home"), file("."), SelectToZip},
            Unzipping);
        row("a file, then the picker left with Esc: zip is refused",
            {"file=notes/notes.txt", "file=<Esc>", "zip"},
            {file("home"), file("notes"), NoFile, SelectToZip}, NothingSelected);
        row("a folder, then the picker left with Esc: zip is refused",
            {"folder=album", "folder=<Esc>", "zip"}, {folder("home"), folder("."), SelectToZip},
            NothingSelected);
        row("zip a folder", {"folder=album", "zip"}, {folder("home"), ZipSucceeded},
            NothingSelected, 104, "album.zip");
        row("unzip an archive", {"archive=photos.zip", "unzip"}, {file("home"), UnzipSucceeded},
            NothingSelected, 100, "photos");
        row("unzip of a file that is no archive", {"archive=broken.zip", "unzip"},
            {file("home"), UnzipFailed}, NothingSelected);
    }
    void stepsEndInTheirSelection() {
        QFETCH(Steps, row);
        QDir::setCurrent(QDir::tempPath());
        const QStringList there = TestTree::Strays(m_case->Root(), {}); // all it holds
        ModalDriver driver;
        for (const QString& step : row.steps)
            Do(driver, step);
        QTRY_COMPARE(driver.Pending(), 0);
        QTRY_VERIFY(!OperationState::Instance().busy);

        QCOMPARE(Modals(driver), row.modals);
        VerifyStatus(row.status);
        QCOMPARE(TestTree::Strays(m_case->Root(), there + QStringList{row.made}), QStringList{});
        if (row.bar > 0) {
            QCOMPARE(m_barAtMessage, qMakePair(row.bar, row.bar));
            const bool zip = row.made.endsWith(".zip");
            if (zip)
                QCOMPARE(ZipTools::TestAndUnpack("python", Path(row.made), Path("unpacked")), "");
            QCOMPARE(TestTree::Snapshot(Path(zip ? "unpacked" : row.made), false),
                     TestTree::Snapshot(Path("album"), false));
            const QString opened = zip ? m_case->Root() : Path(row.made);
            QTRY_COMPARE(m_case->Urls(), QList<QUrl>{QUrl::fromLocalFile(opened)});
            return;
        }
        QVERIFY(m_case->Urls().isEmpty());
        const QString last = row.steps.constLast(), chosen = last.section('=', 1);
        if (!last.contains('=') || chosen.startsWith('<'))
            return;
        QCOMPARE(OperationState::Instance().selectedPath, Path(chosen));
        if (!last.startsWith("folder"))
            QCOMPARE(QDir::current().canonicalPath(),
                     QFileInfo(Path(chosen)).absoluteDir().canonicalPath());
    }

    // Nothing else happens: no picker, no worker, the same selection, label and bar.
    void everyCommandIsRefusedWhileBusy_data() {
        QTest::addColumn<QString>("button");
        for (const QString& button : Buttons.keys())
            QTest::newRow(qPrintable(button)) << button;
    }
    void everyCommandIsRefusedWhileBusy() {
        QFETCH(QString, button);
        OperationState& state = OperationState::Instance();
        state.selectedPath = Path("photos.zip");
        state.unzipSelected = state.busy = true;
        Bar()->setValue(37);
        AStatic* label = Status();
        ModalDriver driver;
        Do(driver, button);

        QCOMPARE(Modals(driver), QStringList{Busy});
        QCOMPARE(RunningThreadCount(), 0);
        QVERIFY(state.busy && state.unzipSelected && !state.zipSelected);
        QCOMPARE(state.selectedPath, Path("photos.zip"));
        QCOMPARE(Status(), label);
        QCOMPARE(Bar()->value(), 37);
    }

    // The second click comes before the first worker could say anything: it is refused, and
    // only one archive is written.
    void twoQuickClicksOnZipStartOneWorker() {
        ModalDriver driver;
        for (const char* step : {"file=notes/notes.txt", "zip", "zip"})
            Do(driver, step);
        QTRY_COMPARE(driver.Pending(), 0);
        QTRY_VERIFY(!OperationState::Instance().busy);
        QStringList boxes = Modals(driver).mid(1);
        boxes.sort(); // the refusal may come before or after the worker's message
        QCOMPARE(boxes, (QStringList{Busy, ZipSucceeded}));
        for (const ModalDriver::Record& box : driver.Seen().mid(1))
            QCOMPARE(box.title, Zipper);
        QCOMPARE(ZipTools::ListEntries(Path("notes/notes.txt.zip")).size(), 1);
        VerifyStatus(NothingSelected);
    }

    // About opens over the window, also while an operation runs, whose bar goes on moving
    // behind it; its one button opens the product page on every click, and About stays. Once
    // About has closed, MORE starts the companion program from the program's own folder (the
    // process may be elsewhere, as after a folder zip); with none installed, nothing is said.
    void aboutFromMoreAndTheMenu_data() {
        QTest::addColumn<bool>("fromMenu");
        QTest::addColumn<bool>("realStart");
        QTest::newRow("MORE") << false << false;
        QTest::newRow("MORE, no companion installed") << false << true;
        QTest::newRow("the context menu") << true << false;
    }
    void aboutFromMoreAndTheMenu() {
        QFETCH(bool, fromMenu);
        QFETCH(bool, realStart);
        QList<QStringList> starts; // the program, its working directory, the current one
        if (realStart)
            QVERIFY(!QFileInfo::exists(SiblingProgram::Path()));
        else
            SiblingProgram::SetLauncher([&](const QString& program, const QString& directory) {
                starts.append({program, directory, QDir::current().canonicalPath()});
                return true;
            });
        QDir::setCurrent(m_case->Root());
        OperationState::Instance().busy = true;
        ModalDriver driver;
        // A right click on one of the texts, which passes it on to the window, opens a menu of
        // one entry; the menu goes before its entry opens About.
        if (fromMenu)
            driver.Then([](QWidget* menu) {
                menu->close();
                QCOMPARE(menu->actions().size(), 1);
                menu->actions().constFirst()->trigger();
            });
        driver.Then(Answers::Inspect(
            [&](QWidget* about) {
                QCOMPARE(starts.size(), 0);
                const QList<QPushButton*> buttons = about->findChildren<QPushButton*>();
                QCOMPARE(buttons.size(), 1);
                QTest::mouseClick(buttons.constFirst(), Qt::LeftButton);
                QTest::mouseClick(buttons.constFirst(), Qt::LeftButton);
                QVERIFY(about->isVisible());
                // What the ticker of the running operation sends meanwhile.
                for (int i = 0; i < 5; ++i)
                    m_window->Report()->Post(ProgressMessage::Step);
                QTRY_COMPARE(Bar()->value(), 5);
            },
            Answers::PressEscape()));
        QWidget* text = m_window->findChild<QLabel*>("m_lblUnzipStep4");
        const QPoint at(5, 5);
        QContextMenuEvent rightClick(QContextMenuEvent::Mouse, at, text->mapToGlobal(at));
        if (fromMenu)
            QApplication::sendEvent(text, &rightClick);
        else
            QTest::mouseClick(Button("m_btnMore"), Qt::LeftButton);
        QTRY_VERIFY(!QApplication::activeModalWidget());
        QCoreApplication::processEvents();

        QCOMPARE(Modals(driver),
                 (fromMenu ? QStringList{"QMenu", "CAboutDlg"} : QStringList{"CAboutDlg"}));
        const QUrl page = CAboutDlg::ProductListUrl();
        QCOMPARE(m_case->Urls(), QList<QUrl>({page, page}));
        const QString directory = QCoreApplication::applicationDirPath();
        const QStringList started{directory + "/quenlo", directory,
                                  QDir(directory).canonicalPath()};
        QCOMPARE(starts,
                 fromMenu || realStart ? QList<QStringList>() : QList<QStringList>{started});
    }

    // The window stays while its message is up, and the run ends by itself once it is
    // answered. After a failure nothing is written and nothing taken. A launcher that had no
    // path to pass gets the main window's refusal and the run ends as after any other failure,
    // instead of leaving an empty window; not even ".zip" is written in the current folder.
    void runsThePathItIsGiven_data() {
        QTest::addColumn<Run>("run");
        const auto row = [](const char* name, const Run& run) { QTest::newRow(name) << run; };
        const auto unzip = DirectOperation::Unzip, zip = DirectOperation::Zip;
        row("unzip an archive", {unzip, "photos.zip", "photos", UnzipSucceeded});
        row("zip a folder, replacing an older archive of it",
            {zip, "album", "album.zip", ZipSucceeded});
        row("zip a file", {zip, "notes/notes.txt", "notes/notes.txt.zip", ZipSucceeded});
        row("zip a link to a folder: packed as the folder",
            {zip, "link", "link.zip", ZipSucceeded});
        row("zip what is not there", {zip, "gone", {}, ZipFailed});
        row("unzip without a path", {unzip, {}, {}, SelectZipFile});
        row("zip without a path", {zip, {}, {}, SelectToZip});
    }
    void runsThePathItIsGiven() {
        QFETCH(Run, run);
        QVERIFY(QDir::setCurrent(m_case->Root()));
        const QMap<QString, QString> before = TestTree::Snapshot(m_case->Root());
        const QString given = run.given.isEmpty() ? QString() : Path(run.given);
        const QString original = QFileInfo(given).canonicalFilePath();

        ProgressDLG window(given, run.operation);
        auto* bar = window.findChild<QProgressBar*>("m_progress");
        int barAtMessage = -1;
        ModalDriver driver;
        driver.Ignore(&window);
        driver.Then(
            Answers::Inspect([&](QWidget*) { barAtMessage = bar->value(); }, Answers::PressOk()));
        // Closed by the test only when it is still up half a minute on.
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, &window, &QDialog::close);
        deadline.start(30000);
        window.exec();
        QVERIFY2(deadline.isActive(), "the run did not end by itself");

        QCOMPARE(driver.Seen().size(), 1);
        QCOMPARE(driver.Seen().constFirst().text, run.message);
        QCOMPARE(driver.Seen().constFirst().owner, &window);
        QVERIFY(driver.Seen().constFirst().ownerStillShown);
        QVERIFY(OperationState::Instance().directMode);
        const QStringList changes = TestTree::Changes(before, TestTree::Snapshot(m_case->Root()));
        if (run.result.isEmpty()) {
            QCOMPARE(window.result(), int(QDialog::Rejected));
            QCOMPARE(changes, QStringList{});
            QVERIFY(m_case->Urls().isEmpty());
            return;
        }
        QCOMPARE(barAtMessage, bar->maximum());
        const bool zip = run.operation == DirectOperation::Zip;
        const QString shown = zip ? QFileInfo(given).path() : Path(run.result);
        QCOMPARE(m_case->Urls(), QList<QUrl>{QUrl::fromLocalFile(shown)});
        if (zip)
            QCOMPARE(TestTree::Run("unzip", {"-q", Path(run.result), "-d", Path("unpacked")}), 0);
        const QMap<QString, QString> made =
            TestTree::Snapshot(Path(zip ? "unpacked" : run.result), false);
        if (zip && QFileInfo(original).isFile())
            QCOMPARE(made.keys(), QStringList{QFileInfo(original).fileName()});
        else
            QCOMPARE(made, TestTree::Snapshot(zip ? original : Path("album"), false));
        // Nothing but the result is new or changed.
        for (const QString& change : changes)
            QVERIFY2(change.mid(1) == run.result || change.mid(1).startsWith(run.result + '/'),
                     qPrintable(change));
    }

    // Enter ends the progress window as Esc does: it has no button Enter could press instead.
    void stoppedRunLeavesTheTreeAsItWas_data() {
        QTest::addColumn<Row>("row");
        const auto row = [](const char* name, const Row& row) { QTest::newRow(name) << row; };
        const auto cli = Program::Cli, window = Program::Window,
                   inProcess = Program::InProcessWindow;
        row("cli unzip into an existing folder, TERM", {cli, false, true, SIGTERM});
        row("cli zip, Ctrl-C", {cli, true, false, SIGINT});
        row("cli zip over an earlier archive, TERM", {cli, true, true, SIGTERM});
        row("window unzip, TERM", {window, false, false, SIGTERM});
        row("progress window, Esc", {inProcess, false, true, Qt::Key_Escape});
        row("progress window, close box", {inProcess, false, false, 0});
        row("progress window, Enter", {inProcess, false, false, Qt::Key_Return});
        row("progress window, keypad Enter", {inProcess, false, true, Qt::Key_Enter});
        row("zip mode, Esc", {inProcess, true, false, Qt::Key_Escape});
        row("zip mode over an earlier archive, close box", {inProcess, true, true, 0});
    }
    void stoppedRunLeavesTheTreeAsItWas() {
        QFETCH(Row, row);
        const auto [program, zip, existing, stop] = row;
        // What an earlier row set up; the source and the archive stay.
        QDir(Work("data")).removeRecursively();
        QFile::remove(Work("source.zip"));
        // Only an archive is ever replaced; this one must come out byte for byte.
        if (existing && zip)
            QVERIFY(QFile::copy(Work("data.zip"), Work("source.zip")));
        if (existing && !zip)
            TestTree::WriteFile(Work("data/mine.txt"), "the user's own file");
        const QMap<QString, QString> before = TestTree::Snapshot(m_work.path());

        // Mid-run: entries already in place below the destination, or the archive's temporary
        // beside it, the one name there that is none of these.
        const QStringList there{"data", "data.zip", "source", "source.zip"};
        const auto midRun = [&] {
            return zip ? !TestTree::Strays(m_work.path(), there).isEmpty()
                       : QFile::exists(Work("data/a/b/two.bin"));
        };

        if (program == Program::InProcessWindow) {
            ProgressDLG window(Work(zip ? "source" : "data.zip"),
                               zip ? DirectOperation::Zip : DirectOperation::Unzip);
            window.show();
            QVERIFY(QTest::qWaitFor(midRun, 60000));
            if (stop == 0)
                window.close();
            else
                QTest::keyClick(&window, Qt::Key(stop),
                                stop == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
            QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 60000);
            QCOMPARE(window.result(), int(QDialog::Rejected));
            QVERIFY(GuiFixture::WaitForProgramThreads());
        } else {
            QProcess process;
            if (program == Program::Cli)
                process.start(TARVO_CLI,
                              {zip ? "zip" : "unzip", Work(zip ? "source" : "data.zip")});
            else
                process.start(TARVO_GUI, {Work("data.zip")});
            QVERIFY(process.waitForStarted());
            QVERIFY(QTest::qWaitFor(
                [&] { return midRun() || process.state() == QProcess::NotRunning; }, 60000));
            QVERIFY2(process.state() == QProcess::Running, "the run ended before it was stopped");
            ::kill(static_cast<pid_t>(process.processId()), stop);
            QVERIFY(process.waitForFinished(60000));
            QCOMPARE(process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(process.exitCode(), 128 + stop);
        }
        QCOMPARE(TestTree::Snapshot(m_work.path()), before);
    }

private:
    QString Path(const QString& relative) const { return m_case->Path(relative); }
    QString Work(const QString& relative) const { return m_work.filePath(relative); }
    QPushButton* Button(const QString& name) const {
        return m_window->findChild<QPushButton*>(name);
    }
    QProgressBar* Bar() const { return m_window->findChild<QProgressBar*>("m_progress"); }
    // The status label the window shows now, or nullptr; a test fails when there are several.
    AStatic* Status() const {
        const QList<AStatic*> labels = m_window->findChildren<AStatic*>();
        if (labels.size() > 1)
            QTest::qFail("more than one status label", __FILE__, __LINE__);
        return labels.value(0);
    }

    // The status label's text and colour; with nothing selected, the selection cleared, nothing
    // running and the bar empty as well.
    void VerifyStatus(const QString& status) {
        AStatic* label = Status();
        QCOMPARE(label->text(), status);
        QCOMPARE(label->TextColor().rgb(), status == NothingSelected ? Red : Green);
        const OperationState& state = OperationState::Instance();
        QVERIFY(status != NothingSelected ||
                (state.selectedPath.isEmpty() && !state.zipSelected && !state.unzipSelected &&
                 !state.busy && Bar()->value() == 0));
    }

    // Queues the answers a step needs (see Steps), then clicks its button. A command's message
    // is answered once the bar has been read.
    void Do(ModalDriver& driver, const QString& step) {
        const QString button = step.section('=', 0, 0), chosen = step.section('=', 1);
        const auto readBar = [this](QWidget*) {
            m_barAtMessage = {Bar()->value(), Bar()->maximum()};
        };
        if (!step.contains('='))
            driver.Then(Answers::Inspect(readBar, Answers::PressOk()));
        else if (!chosen.startsWith('<'))
            driver.Then(Answers::TypePathAndAccept(Path(chosen)));
        else {
            driver.Then(chosen == "<Esc>" ? Answers::PressEscape() : Answers::Close());
            if (button != "folder") // the file picker says nothing was chosen
                driver.Then(Answers::PressOk());
        }
        QTest::mouseClick(m_window->findChild<QPushButton*>(Buttons.value(button)), Qt::LeftButton);
    }

    // The pickers with the folder they opened in, the messages by their text, other windows by
    // their class; marked when they do not lie over the main window, as all but the folder
    // picker (which stands on its own) must.
    QStringList Modals(const ModalDriver& driver) const {
        QStringList modals;
        const QDir root(QDir(m_case->Root()).canonicalPath());
        for (const ModalDriver::Record& record : driver.Seen()) {
            modals << (!record.text.isEmpty() ? record.text
                       : record.folder.isEmpty()
                           ? record.kind
                           : record.kind + " in " + root.relativeFilePath(record.folder));
            if (record.owner != m_window.get() && record.kind != FolderPicker)
                modals.last() += " (not over the window)";
        }
        return modals;
    }

    QFont m_font = QApplication::font();
    const QByteArray m_home = qgetenv("HOME");
    QTemporaryDir m_work; // the stopped runs' source and archive, made once
    std::optional<GuiFixture::Case> m_case;
    std::unique_ptr<CTarvoDlg> m_window;
    QPair<int, int> m_barAtMessage; // value and maximum
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
