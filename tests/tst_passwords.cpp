// Encrypted archives made by other tools (traditional and AES): the worker asks for the password
// before anything is written, up to three times; the windows ask in a hidden field; the command
// line reads it from a file or the terminal, and fails as encrypted when it has neither.

#include "archive/UnzipWorker.h"
#include "operation/OperationState.h"
#include "operation/PasswordSource.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "support/RecordingReport.h"
#include "support/TestTree.h"
#include "support/WorkerRun.h"
#include "ui/CTarvoDlg.h"
#include "ui/ProgressDLG.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <mutex>

namespace {

const QString Cancel = QStringLiteral("<cancel>");
const QString Right = QStringLiteral("s3cret pass");
const QString UnzipFailed = QStringLiteral(
    "Error: Unzipping did not complete. Make sure you have enough disk space and the zip file is "
    "not corrupt!");
const QString UnzipSucceeded = QStringLiteral("Unzipping completed successfully.");
const QString WrongCause = QStringLiteral("the password is wrong");
const QString EncryptedCause = QStringLiteral("is encrypted: a password is needed");

// The tools' commands for an encrypted archive of the current folder, by kind.
struct Maker {
    QString program;
    QStringList arguments; // the archive's path is appended
};

Maker MakerFor(const QString& kind) {
    if (kind == QLatin1String("traditional"))
        return {QStringLiteral("zip"), {"-q", "-r", "-P", Right}};
    const QString method = kind == QLatin1String("AES-128") ? "AES128" : "AES256";
    return {QStringLiteral("7zz"), {"a", "-tzip", "-p" + Right, "-mem=" + method}};
}

// Folder `original` below root: text that deflates, random bytes the tools store as they are,
// a file under the 20 bytes where libzip treats AES entries apart, an empty file, a folder.
void WriteOriginal(const QString& root) {
    TestTree::WriteFile(root + "/original/a.txt", TestTree::TextBytes(30000, 1));
    TestTree::WriteFile(root + "/original/deep/b.bin", TestTree::RandomBytes(70000, 2));
    TestTree::WriteFile(root + "/original/small.txt", "hi\n");
    TestTree::WriteFile(root + "/original/empty.txt", {});
}

// Makes root/secret.zip of root/original with the kind's tool; false with *why when the tool is
// missing or fails.
bool MakeArchive(const QString& kind, const QString& root, QString* why) {
    const Maker maker = MakerFor(kind);
    if (QStandardPaths::findExecutable(maker.program).isEmpty()) {
        *why = maker.program + " is not installed";
        return false;
    }
    WriteOriginal(root);
    QString output;
    if (TestTree::Run(maker.program, maker.arguments + QStringList{root + "/secret.zip", "."},
                      root + "/original", &output) != 0) {
        *why = maker.program + " failed: " + output;
        return false;
    }
    return true;
}

// Answers the worker's questions from a script, in order, and writes each question down. A
// script that runs out answers nothing, as a cancel does.
class AnsweringReport : public RecordingReport, public PasswordSource {
public:
    explicit AnsweringReport(QStringList script) : m_script(std::move(script)) {}

    PasswordSource* Passwords() override { return this; }

    std::optional<SecretText> AskPassword(const PasswordRequest& request) override {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
        if (m_script.isEmpty())
            return std::nullopt;
        QString answer = m_script.takeFirst();
        if (answer == Cancel)
            return std::nullopt;
        return SecretText::TakeFrom(answer);
    }

    std::vector<PasswordRequest> Requests() const {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

private:
    mutable std::mutex m_mutex;
    QStringList m_script;
    std::vector<PasswordRequest> m_requests;
};

// Types each answer of the script into the password question and accepts it, or cancels it.
ModalDriver::Answer TypeIntoPrompt(const QString& answer, QStringList* labels) {
    return [answer, labels](QWidget* modal) {
        auto* prompt = qobject_cast<QInputDialog*>(modal);
        if (!prompt) {
            modal->close();
            return;
        }
        labels->append(prompt->labelText());
        // The field hides what is typed.
        if (prompt->findChild<QLineEdit*>()->echoMode() != QLineEdit::Password)
            labels->append(QStringLiteral("<echoed>"));
        if (answer == Cancel) {
            prompt->reject();
            return;
        }
        prompt->setTextValue(answer);
        prompt->accept();
    };
}

// The rows every front end runs: the answers given, and what they come to.
void AddScriptRows(const QStringList& kinds) {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<bool>("unpacked");
    QTest::addColumn<QString>("cause"); // part of the failure's cause; empty after a success
    const struct {
        const char* name;
        QStringList script;
        bool unpacked;
        QString cause;
    } scripts[] = {
        {"right at once", {Right}, true, {}},
        {"right on the third try", {"wrong", "Secret pass", Right}, true, {}},
        {"wrong three times", {"wrong", "", "s3cret pas"}, false, WrongCause},
        {"cancelled", {Cancel}, false, EncryptedCause},
        {"cancelled after a wrong one", {"wrong", Cancel}, false, WrongCause},
    };
    for (const QString& kind : kinds)
        for (const auto& row : scripts)
            QTest::addRow("%s, %s", qPrintable(kind), row.name)
                << kind << row.script << row.unpacked << row.cause;
}

const QStringList AllKinds{"traditional", "AES-128", "AES-256"};

} // namespace

class TestPasswords : public QObject {
    Q_OBJECT

private slots:
    void init() {
        GuiFixture::ResetOperationState();
        m_files = std::make_unique<QTemporaryDir>();
        QVERIFY(m_files->isValid());
    }

    void cleanup() {
        QVERIFY(GuiFixture::WaitForProgramThreads());
        GuiFixture::ClearQuitRequest();
        m_files.reset();
    }

    // The worker asks until the answer opens the archive, three times at most, and checks it
    // before anything is written: a failed run leaves no folder.
    void workerAsksUntilTheAnswerFits_data() { AddScriptRows(AllKinds); }
    void workerAsksUntilTheAnswerFits() {
        QFETCH(QString, kind);
        QFETCH(QStringList, script);
        QFETCH(bool, unpacked);
        QFETCH(QString, cause);
        QString why;
        if (!MakeArchive(kind, Root(), &why))
            QSKIP(qPrintable(why));
        WorkerRun run;
        auto report = std::make_shared<AnsweringReport>(script);
        run.state().reportWindow.Set(report);
        run.state().selectedPath = Path("secret.zip");
        run.state().unzipSelected = true;

        const UnzipOutcome outcome = RunUnzip(run.state());

        const int asked = static_cast<int>(std::min<qsizetype>(script.size(), 3));
        const std::vector<PasswordRequest> requests = report->Requests();
        QCOMPARE(int(requests.size()), asked);
        for (int i = 0; i < asked; ++i) {
            QCOMPARE(requests[i].archiveName, QStringLiteral("secret.zip"));
            QCOMPARE(requests[i].attempt, i + 1);
            QCOMPARE(requests[i].attempts, 3);
        }
        if (unpacked) {
            QCOMPARE(outcome, UnzipOutcome::Succeeded);
            QCOMPARE(report->Messages(), QStringList{UnzipSucceeded});
            QCOMPARE(TestTree::Snapshot(Path("secret"), false),
                     TestTree::Snapshot(Path("original"), false));
        } else {
            QCOMPARE(outcome, UnzipOutcome::Failed);
            QCOMPARE(report->Messages(), QStringList{UnzipFailed});
            QVERIFY2(report->Details().value(0).contains(cause),
                     qPrintable(report->Details().value(0)));
            QCOMPARE(QDir(Root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                     (QStringList{"original", "secret.zip"}));
        }
    }

    // Damaged data behind a right password fails as damage, before anything is put in place:
    // the AES authentication code or the CRC catches it.
    void damageBehindTheRightPasswordIsCaught_data() {
        QTest::addColumn<QString>("kind");
        for (const QString& kind : AllKinds)
            QTest::newRow(qPrintable(kind)) << kind;
    }
    void damageBehindTheRightPasswordIsCaught() {
        QFETCH(QString, kind);
        QString why;
        if (!MakeArchive(kind, Root(), &why))
            QSKIP(qPrintable(why));
        // A byte well inside the data of a.txt, which every tool deflates; its name first shows
        // in its local header.
        QFile archive(Path("secret.zip"));
        QVERIFY(archive.open(QIODevice::ReadWrite));
        QByteArray bytes = archive.readAll();
        const qsizetype name = bytes.indexOf("a.txt");
        QVERIFY(name > 0);
        bytes[name + 200] = static_cast<char>(bytes[name + 200] ^ 0x40);
        archive.seek(0);
        archive.write(bytes);
        archive.close();

        WorkerRun run;
        auto report = std::make_shared<AnsweringReport>(QStringList{Right, Right, Right});
        run.state().reportWindow.Set(report);
        run.state().selectedPath = Path("secret.zip");
        run.state().unzipSelected = true;
        const UnzipOutcome outcome = RunUnzip(run.state());
        QVERIFY(outcome != UnzipOutcome::Succeeded);
        QVERIFY(!QFileInfo::exists(Path("secret/a.txt")));
    }

    // The command line: the password file's first line, or none when stdin is no terminal.
    void commandLineTakesThePasswordFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("passwordFile"); // its content; none: no option
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("cause");
        for (const QString& kind : AllKinds) {
            QTest::addRow("%s, the right password", qPrintable(kind))
                << kind << Right + "\nnot the password\n"
                << 0 << QString();
            QTest::addRow("%s, the right password, CR LF", qPrintable(kind))
                << kind << Right + "\r\n"
                << 0 << QString();
            QTest::addRow("%s, a wrong password", qPrintable(kind)) << kind << "wrong\n"
                                                                    << 1 << WrongCause;
            QTest::addRow("%s, no password and no terminal", qPrintable(kind))
                << kind << QString() << 1 << EncryptedCause;
        }
    }
    void commandLineTakesThePasswordFile() {
        QFETCH(QString, kind);
        QFETCH(QString, passwordFile);
        QFETCH(int, exitCode);
        QFETCH(QString, cause);
        QString why;
        if (!MakeArchive(kind, Root(), &why))
            QSKIP(qPrintable(why));
        QStringList arguments{"-q", "unzip"};
        if (!passwordFile.isNull()) {
            TestTree::WriteFile(Path("password.txt"), passwordFile.toUtf8());
            arguments << "--password-file" << Path("password.txt");
        }
        QString output;
        QCOMPARE(TestTree::Run(TARVO_CLI, arguments << Path("secret.zip"), {}, &output), exitCode);
        if (exitCode == 0) {
            QCOMPARE(TestTree::Snapshot(Path("secret"), false),
                     TestTree::Snapshot(Path("original"), false));
            return;
        }
        QVERIFY2(output.contains(UnzipFailed) && output.contains(cause), qPrintable(output));
        QVERIFY(!QFileInfo::exists(Path("secret")));
    }

    void commandLineRefusesAPasswordFileItCannotUse_data() {
        QTest::addColumn<QStringList>("arguments"); // %1: the temporary folder
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("said");
        QTest::newRow("the file is missing")
            << QStringList{"unzip", "--password-file", "%1/none.txt", "%1/secret.zip"} << 1
            << "cannot read the password file %1/none.txt: No such file or directory";
        QTest::newRow("no file after the option")
            << QStringList{"unzip", "%1/secret.zip", "--password-file"} << 2 << "Usage:";
        QTest::newRow("zipping takes no password")
            << QStringList{"zip", "--password-file=%1/secret.zip", "%1/original"} << 2 << "Usage:";
    }
    void commandLineRefusesAPasswordFileItCannotUse() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, said);
        QString why;
        if (!MakeArchive("traditional", Root(), &why))
            QSKIP(qPrintable(why));
        arguments.replaceInStrings("%1", Root());
        QString output;
        QCOMPARE(TestTree::Run(TARVO_CLI, arguments, {}, &output), exitCode);
        QVERIFY2(output.contains(said.replace("%1", Root())), qPrintable(output));
        QCOMPARE(QDir(Root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 (QStringList{"original", "secret.zip"}));
    }

    // On a terminal the password is typed without echo, and asked again after a wrong one.
    void commandLineAsksOnTheTerminal() {
        QString why;
        if (!MakeArchive("AES-256", Root(), &why))
            QSKIP(qPrintable(why));
        QString output;
        const int code = TestTree::RunPython(
            "import os, pty, select, sys\n"
            "pid, fd = pty.fork()\n"
            "if pid == 0:\n"
            "    os.execv(sys.argv[1], [sys.argv[1], '-q', 'unzip', sys.argv[2]])\n"
            "seen = b''\n"
            "answers = [b'wrong\\n', sys.argv[3].encode() + b'\\n']\n"
            "while True:\n"
            "    ready, _, _ = select.select([fd], [], [], 30)\n"
            "    if not ready:\n"
            "        break\n"
            "    try:\n"
            "        chunk = os.read(fd, 4096)\n"
            "    except OSError:\n"
            "        break\n"
            "    if not chunk:\n"
            "        break\n"
            "    seen += chunk\n"
            "    if answers and seen.count(b'Password for') > 2 - len(answers):\n"
            "        os.write(fd, answers.pop(0))\n"
            "if answers:\n"
            "    os.kill(pid, 9)\n"
            "_, status = os.waitpid(pid, 0)\n"
            "sys.stdout.write(seen.decode(errors='replace'))\n"
            "sys.exit(os.waitstatus_to_exitcode(status))\n",
            {TARVO_CLI, Path("secret.zip"), Right}, &output);
        QVERIFY2(code == 0, qPrintable(output));
        QVERIFY2(output.contains("Password for secret.zip: "), qPrintable(output));
        QVERIFY2(output.contains("The password is wrong (try 2 of 3)."), qPrintable(output));
        // Neither answer shows on the terminal.
        QVERIFY2(!output.contains("wrong\r\n") && !output.contains(Right), qPrintable(output));
        QCOMPARE(TestTree::Snapshot(Path("secret"), false),
                 TestTree::Snapshot(Path("original"), false));
    }

    // The direct mode's window asks in a field that hides what is typed, titled as its messages
    // and naming the archive; the run goes on as the answers say.
    void progressWindowAsksForThePassword_data() { AddScriptRows({"traditional", "AES-256"}); }
    void progressWindowAsksForThePassword() {
        QFETCH(QString, kind);
        QFETCH(QStringList, script);
        QFETCH(bool, unpacked);
        QFETCH(QString, cause);
        QString why;
        if (!MakeArchive(kind, Root(), &why))
            QSKIP(qPrintable(why));
        UrlCapture urls;
        ProgressDLG window(Path("secret.zip"));
        ModalDriver driver;
        driver.Ignore(&window);
        QStringList labels;
        for (const QString& answer : script.mid(0, 3))
            driver.Then(TypeIntoPrompt(answer, &labels));
        driver.Then(Answers::PressOk());
        window.exec();

        const int asked = static_cast<int>(std::min<qsizetype>(script.size(), 3));
        QCOMPARE(driver.Seen().size(), asked + 1);
        for (int i = 0; i < asked; ++i) {
            const ModalDriver::Record& prompt = driver.Seen().at(i);
            QCOMPARE(prompt.kind, QStringLiteral("QInputDialog"));
            QCOMPARE(prompt.title, QStringLiteral("Unzipper"));
            QCOMPARE(prompt.owner, &window);
            QVERIFY2(labels.value(i).contains("secret.zip"), qPrintable(labels.value(i)));
            QCOMPARE(labels.value(i).contains("The password is wrong"), i > 0);
        }
        QVERIFY(!labels.contains("<echoed>"));
        const ModalDriver::Record message = driver.Seen().constLast();
        if (unpacked) {
            QCOMPARE(message.text, UnzipSucceeded);
            QCOMPARE(TestTree::Snapshot(Path("secret"), false),
                     TestTree::Snapshot(Path("original"), false));
        } else {
            QCOMPARE(message.text, UnzipFailed);
            QVERIFY2(message.detail.contains(cause), qPrintable(message.detail));
            QVERIFY(!QFileInfo::exists(Path("secret")));
        }
    }

    // Closing the window while it asks stops the run: no message, nothing written.
    void closingWhileAskingStopsTheRun() {
        QString why;
        if (!MakeArchive("traditional", Root(), &why))
            QSKIP(qPrintable(why));
        ProgressDLG window(Path("secret.zip"));
        ModalDriver driver;
        driver.Ignore(&window);
        driver.Then([&window](QWidget*) { window.reject(); });
        QCOMPARE(window.exec(), int(QDialog::Rejected));
        QVERIFY(GuiFixture::WaitForProgramThreads());
        QCOMPARE(driver.Summary(), QStringList{"QInputDialog|Unzipper|"});
        QVERIFY(!QFileInfo::exists(Path("secret")));
    }

    // The main window's unzip asks the same way.
    void mainWindowAsksForThePassword() {
        QString why;
        if (!MakeArchive("AES-128", Root(), &why))
            QSKIP(qPrintable(why));
        UrlCapture urls;
        CTarvoDlg window;
        window.show();
        ModalDriver driver;
        QStringList labels;
        driver.Then(Answers::TypePathAndAccept(Path("secret.zip")))
            .Then(TypeIntoPrompt("wrong", &labels))
            .Then(TypeIntoPrompt(Right, &labels))
            .Then(Answers::PressOk());
        QTest::mouseClick(window.findChild<QPushButton*>("m_btnSelectUnzip"), Qt::LeftButton);
        QTest::mouseClick(window.findChild<QPushButton*>("m_btnUnzip"), Qt::LeftButton);
        QTRY_COMPARE(driver.Pending(), 0);
        QTRY_VERIFY(!OperationState::Instance().busy);
        QVERIFY(GuiFixture::WaitForProgramThreads());
        QCOMPARE(labels.size(), 2);
        QCOMPARE(driver.Seen().at(1).owner, &window);
        QCOMPARE(driver.Seen().constLast().text, UnzipSucceeded);
        QCOMPARE(TestTree::Snapshot(Path("secret"), false),
                 TestTree::Snapshot(Path("original"), false));
    }

private:
    QString Root() const { return m_files->path(); }
    QString Path(const QString& relative) const { return m_files->filePath(relative); }

    std::unique_ptr<QTemporaryDir> m_files;
};

QTEST_MAIN(TestPasswords)
#include "tst_passwords.moc"
