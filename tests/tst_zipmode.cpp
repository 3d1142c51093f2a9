// The launch mode that packs: `tarvo --zip PATH`, as a file manager's "Zip with Tarvo" starts
// it. The progress window packs the path beside it with the main window's worker, says what the
// Zip button would say, shows the folder after a success and ends the run by itself, also after
// a failure or a refusal. Driven through the real window offscreen, and once as the built
// program on a virtual display.

#include "app/ProgramOptions.h"
#include "operation/OperationState.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "support/TestTree.h"
#include "support/XSession.h"
#include "ui/ProgressDLG.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString ZipSucceeded = QStringLiteral("QMessageBox|Zipper|Zipping completed successfully.");
const QString ZipFailed = QStringLiteral(
    "QMessageBox|Zipper|Error: Zipping did not complete. Make sure you have enough disk space!");
const QString SelectToZip =
    QStringLiteral("QMessageBox|Zipper|Please select a file or a folder for zipping ");

// What `unzip` makes of an archive, as a snapshot of the folder it unpacks into.
QMap<QString, QString> UnpackedByUnzip(const QString& archive, const QString& into) {
    if (TestTree::Run("unzip", {"-q", archive, "-d", into}) != 0)
        return {{"unzip failed", archive}};
    return TestTree::Snapshot(into, false);
}

} // namespace

class TestZipMode : public QObject {
    Q_OBJECT

private slots:
    void init() {
        GuiFixture::ResetOperationState();
        m_files = std::make_unique<QTemporaryDir>();
        QVERIFY(m_files->isValid());
        TestTree::WriteFile(Path("data/photos/a.txt"), TestTree::TextBytes(30000, 1));
        TestTree::WriteFile(Path("data/photos/deep/b.bin"), TestTree::RandomBytes(70000, 2));
        TestTree::WriteFile(Path("data/report.txt"), TestTree::TextBytes(50000, 3));
    }

    void cleanup() {
        QVERIFY(GuiFixture::WaitForProgramThreads());
        // The window ends its run with QCoreApplication::exit(), as the program does.
        GuiFixture::ClearQuitRequest();
        m_files.reset();
    }

    // How tarvo reads its arguments: --zip chooses the mode wherever it stands before "--";
    // after "--" it is a name like any other.
    void zipOptionChoosesTheMode_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("action");
        QTest::addColumn<bool>("zip");
        QTest::addColumn<QStringList>("operands");
        const int run = ProgramOptions::Run;
        QTest::newRow("--zip PATH")
            << QStringList{"--zip", "photos"} << run << true << QStringList{"photos"};
        QTest::newRow("PATH --zip")
            << QStringList{"photos", "--zip"} << run << true << QStringList{"photos"};
        QTest::newRow("--zip -- -name")
            << QStringList{"--zip", "--", "-name"} << run << true << QStringList{"-name"};
        QTest::newRow("-- --zip: an archive named --zip")
            << QStringList{"--", "--zip"} << run << false << QStringList{"--zip"};
        QTest::newRow("--zip alone") << QStringList{"--zip"} << run << true << QStringList{};
        QTest::newRow("--zip with an empty path")
            << QStringList{"--zip", ""} << run << true << QStringList{""};
        QTest::newRow("--zip --help") << QStringList{"--zip", "--help"}
                                      << int(ProgramOptions::PrintHelp) << false << QStringList{};
        QTest::newRow("--zip=PATH is no option")
            << QStringList{"--zip=photos"} << int(ProgramOptions::UsageError) << false
            << QStringList{};
    }
    void zipOptionChoosesTheMode() {
        QFETCH(QStringList, arguments);
        QFETCH(int, action);
        QFETCH(bool, zip);
        QFETCH(QStringList, operands);
        std::vector<QByteArray> bytes{"tarvo"};
        for (const QString& argument : arguments)
            bytes.push_back(argument.toUtf8());
        std::vector<const char*> argv;
        for (const QByteArray& argument : bytes)
            argv.push_back(argument.constData());
        const ProgramOptions options =
            ReadProgramOptions(int(argv.size()), argv.data(), {.zip = true});
        QCOMPARE(int(options.action), action);
        QCOMPARE(options.zip, zip);
        QStringList read;
        for (const char* operand : options.operands)
            read << QString::fromUtf8(operand);
        QCOMPARE(read, operands);
    }

    // The built programs: tarvo tells of the mode in its usage; tarvo-cli has its own zip
    // command and refuses the window program's option.
    void programsAnswerTheZipOption() {
        QString output;
        QCOMPARE(TestTree::Run(TARVO_GUI, {"--help"}, {}, &output), 0);
        QVERIFY2(output.contains("tarvo --zip [--] PATH"), qPrintable(output));
        QCOMPARE(TestTree::Run(TARVO_CLI, {"--zip", Path("data/photos")}, {}, &output), 2);
        QVERIFY(!QFileInfo::exists(Path("data/photos.zip")));
    }

    // The window packs what it is given beside it, says so as the Zip button would, and shows
    // the folder; after a failure it says that instead, and nothing is left behind. Either way
    // the run ends by itself once the message is answered.
    void packsThePathItIsGiven_data() {
        QTest::addColumn<QString>("given");   // relative to the test folder
        QTest::addColumn<QString>("archive"); // where the archive is to be, or empty
        QTest::addColumn<QString>("message");
        QTest::newRow("a folder") << "data/photos"
                                  << "data/photos.zip" << ZipSucceeded;
        QTest::newRow("a file") << "data/report.txt"
                                << "data/report.txt.zip" << ZipSucceeded;
        QTest::newRow("a link to a folder: packed as the folder")
            << "data/link"
            << "data/link.zip" << ZipSucceeded;
        QTest::newRow("a name with a blank and a leading dash")
            << "data/-my photos"
            << "data/-my photos.zip" << ZipSucceeded;
        QTest::newRow("an older archive of it: replaced") << "data/photos"
                                                          << "data/photos.zip" << ZipSucceeded;
        QTest::newRow("nothing there") << "data/gone" << QString() << ZipFailed;
        QTest::newRow("a file that is no archive where the archive would go")
            << "data/report.txt" << QString() << ZipFailed;
    }
    void packsThePathItIsGiven() {
        QFETCH(QString, given);
        QFETCH(QString, archive);
        QFETCH(QString, message);
        const QString row = QString::fromUtf8(QTest::currentDataTag());
        if (given == "data/link")
            QVERIFY(QFile::link(Path("data/photos"), Path("data/link")));
        if (given.contains(' '))
            QVERIFY(QDir().rename(Path("data/photos"), Path(given)));
        if (row.startsWith("an older archive"))
            QCOMPARE(TestTree::Run("zip", {"-q", Path("data/photos.zip"), Path("data/report.txt")}),
                     0);
        QByteArray inTheWay;
        if (row.contains("no archive")) {
            inTheWay = TestTree::TextBytes(100, 4);
            TestTree::WriteFile(Path("data/report.txt.zip"), inTheWay);
        }
        const QMap<QString, QString> before = TestTree::Snapshot(Path("data"), false);

        UrlCapture urls;
        ProgressDLG window(Path(given), DirectOperation::Zip);
        auto* bar = window.findChild<QProgressBar*>("m_progress");
        int barAtMessage = -1;
        ModalDriver driver;
        driver.Ignore(&window);
        driver.Then(
            Answers::Inspect([&](QWidget*) { barAtMessage = bar->value(); }, Answers::PressOk()));
        bool closedByTest = false;
        QTimer::singleShot(30000, &window, [&] {
            closedByTest = window.isVisible();
            window.close();
        });
        window.exec();

        QCOMPARE(driver.Summary(), QStringList{message});
        QCOMPARE(driver.Seen().constFirst().owner, &window);
        QVERIFY(driver.Seen().constFirst().ownerStillShown);
        QVERIFY2(!closedByTest, "the run did not end by itself");
        QVERIFY(OperationState::Instance().directMode);
        if (archive.isEmpty()) {
            // Nothing written, nothing taken: the folder is as it was.
            QCOMPARE(TestTree::Snapshot(Path("data"), false), before);
            QVERIFY(urls.Urls().isEmpty());
            return;
        }
        QCOMPARE(barAtMessage, bar->maximum());
        QCOMPARE(urls.Urls(), QList<QUrl>{QUrl::fromLocalFile(Path("data"))});
        const QString original = QFileInfo(Path(given)).canonicalFilePath();
        const QMap<QString, QString> unpacked = UnpackedByUnzip(Path(archive), Path("unpacked"));
        if (QFileInfo(original).isDir())
            QCOMPARE(unpacked, TestTree::Snapshot(original, false));
        else
            QCOMPARE(unpacked.keys(), QStringList{QFileInfo(original).fileName()});
        // Only the archive is new beside the original.
        QMap<QString, QString> after = TestTree::Snapshot(Path("data"), false);
        for (const QString& path : after.keys()) {
            if (path == archive.mid(5) || before.contains(path))
                after.remove(path);
        }
        QCOMPARE(after.keys(), QStringList{});
    }

    // Without a path (a launcher that had none to pass) or with an empty one, the window says a
    // file or folder is to be chosen and the run ends; nothing is written, not even ".zip" in
    // the current folder. The command line's zip says the same and exits with a usage error.
    void emptyPathIsRefusedAndNothingWritten() {
        QVERIFY(QDir::setCurrent(m_files->path()));
        ProgressDLG window({}, DirectOperation::Zip);
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
        window.exec();
        QCOMPARE(driver.Summary(), QStringList{SelectToZip});
        QVERIFY2(!closedByTest, "the run did not end by itself");

        QString output;
        QCOMPARE(TestTree::Run(TARVO_CLI, {"zip", ""}, m_files->path(), &output), 2);
        QVERIFY2(output.contains("Please select a file or a folder for zipping"),
                 qPrintable(output));
        QCOMPARE(QDir(m_files->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{"data"});
    }

    // Esc while the folder is still being packed stops the run and takes back what it wrote:
    // no archive, whole or half, is left beside the folder.
    void escapeMidRunLeavesNoArchive() {
        for (int i = 0; i < 12; ++i)
            TestTree::WriteFile(Path("data/big/part%1.bin").arg(i),
                                TestTree::RandomBytes(4 << 20, i));
        ProgressDLG window(Path("data/big"), DirectOperation::Zip);
        bool workerRan = false;
        QTimer::singleShot(0, &window, [&] {
            workerRan = OperationState::Instance().busy;
            QTest::keyClick(&window, Qt::Key_Escape);
        });
        QCOMPARE(window.exec(), int(QDialog::Rejected));
        QVERIFY(workerRan);
        QVERIFY(GuiFixture::WaitForProgramThreads());
        QCOMPARE(QDir(Path("data")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{"big", "photos", "report.txt"}));
    }

    // The built program on a display, as a file manager starts it: the message comes up over
    // the progress window, the folder goes to the file browser, and the program ends with 0.
    void builtProgramPacksAndEnds_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("archive");
        QTest::newRow("a folder") << QStringList{"--zip", "photos"} << "data/photos.zip";
        QTest::newRow("no path") << QStringList{"--zip"} << QString();
    }
    void builtProgramPacksAndEnds() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, archive);
        XSession session;
        if (!session.Unavailable().isEmpty())
            QSKIP(qPrintable(session.Unavailable()));
        QProcess* tarvo = session.Launch(TARVO_GUI, arguments, Path("data"));
        const QString box = session.WaitForWindow("^Zipper$", 60000);
        QVERIFY2(!box.isEmpty(), "no message Zipper");
        QVERIFY(!session.WaitForWindow("^Tarvo 1.0$", 0).isEmpty());
        QVERIFY(session.Keys(box, {"Return"}));
        QVERIFY(QTest::qWaitFor([tarvo] { return tarvo->state() == QProcess::NotRunning; }, 30000));
        QCOMPARE(tarvo->exitStatus(), QProcess::NormalExit);
        QCOMPARE(tarvo->exitCode(), 0);
        if (archive.isEmpty())
            return;
        QCOMPARE(UnpackedByUnzip(Path(archive), Path("unpacked")),
                 TestTree::Snapshot(Path("data/photos"), false));
        // The stand-in browser runs detached from the program; it may still be writing.
        QVERIFY(
            QTest::qWaitFor([&] { return session.Opened() == QStringList{Path("data")}; }, 10000));
    }

private:
    QString Path(const QString& relative) const { return m_files->filePath(relative); }

    std::unique_ptr<QTemporaryDir> m_files;
};

QTEST_MAIN(TestZipMode)
#include "tst_zipmode.moc"
