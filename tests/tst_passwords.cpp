// Encrypted archives made by other tools (traditional and AES): the worker asks for the password
// before anything is written, up to three times; the windows ask in a hidden field; the command
// line reads it from a file or the terminal, and fails as encrypted when it has neither.

#include "operation/PasswordSource.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "support/TestTree.h"
#include "ui/ProgressDLG.h"

#include <QFile>
#include <QInputDialog>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <optional>

namespace {

const QString Cancel = QStringLiteral("<cancel>");
const QString CloseWindow = QStringLiteral("<close the window>");
const QString Right = QStringLiteral("s3cret pass");
const QString UnzipSucceeded = QStringLiteral("Unzipping completed successfully.");
const QString WrongCause = QStringLiteral("the password is wrong");
const QString EncryptedCause = QStringLiteral("is encrypted: a password is needed");
const QString NoMessage = QStringLiteral("<no message>");

// Who asks for the password, and how it is given.
enum class Way {
    Window,       // the direct mode's window, whose prompt the main window shares
    PasswordFile, // tarvo-cli --password-file, the file holding the first answer
    NoPassword,   // tarvo-cli with neither a password file nor a terminal
    Terminal,     // tarvo-cli on a terminal of its own
};

struct Row {
    QString kind; // "traditional", "AES-128" or "AES-256"
    Way way;
    QStringList answers;  // in order; Cancel cancels, CloseWindow closes the window instead
    QString cause = {};   // part of the failure's cause; empty: the archive unpacks
    QString damaged = {}; // the entry whose last byte of data is flipped behind the password
};

// Types the answer into the password question and accepts it, or cancels it; writes down the
// question, marked when the field shows what is typed.
ModalDriver::Answer TypeIntoPrompt(const QString& answer, QStringList* questions) {
    return [answer, questions](QWidget* modal) {
        auto* prompt = qobject_cast<QInputDialog*>(modal);
        if (!prompt) {
            modal->close();
            return;
        }
        const bool echoed = prompt->findChild<QLineEdit*>()->echoMode() != QLineEdit::Password;
        questions->append(prompt->labelText() + (echoed ? "<echoed>" : ""));
        if (answer == Cancel)
            return prompt->reject();
        if (answer == CloseWindow)
            return void(prompt->parentWidget()->close()); // as its close box does
        prompt->setTextValue(answer);
        prompt->accept();
    };
}

// Answers each "Password for" on a pty with the next of argv[3:], once it is asked, so an echo
// would show.
const char TerminalScript[] =
    "import os, pty, select, sys\n"
    "pid, fd = pty.fork()\n"
    "if pid == 0:\n"
    "    os.execv(sys.argv[1], [sys.argv[1], 'unzip', sys.argv[2]])\n"
    "seen, answers = b'', sys.argv[3:]\n"
    "while select.select([fd], [], [], 30)[0]:\n"
    "    try:\n"
    "        seen += os.read(fd, 4096)\n"
    "    except OSError:\n"
    "        break\n"
    "    if answers and seen.count(b'Password for') > len(sys.argv) - 3 - len(answers):\n"
    "        os.write(fd, answers.pop(0).encode() + b'\\n')\n"
    "else:\n"
    "    os.kill(pid, 9)\n"
    "_, status = os.waitpid(pid, 0)\n"
    "sys.stdout.write(seen.decode(errors='replace'))\n"
    "sys.exit(os.waitstatus_to_exitcode(status))\n";

} // namespace

Q_DECLARE_METATYPE(Row)

class TestPasswords : public QObject {
    Q_OBJECT

private slots:
    // One archive of each kind, of a folder with text that deflates, random bytes the tools
    // store as they are, a file under the 20 bytes where libzip treats AES entries apart, an
    // empty file and a folder. A kind whose tool is missing is skipped.
    void initTestCase() {
        QVERIFY(m_archives.isValid());
        const QString original = m_archives.filePath("original");
        TestTree::WriteFile(original + "/a.txt", TestTree::TextBytes(30000, 1));
        TestTree::WriteFile(original + "/deep/b.bin", TestTree::RandomBytes(70000, 2));
        TestTree::WriteFile(original + "/small.txt", "hi\n");
        TestTree::WriteFile(original + "/empty.txt", {});
        const auto make = [&](const QString& kind, const QString& program, QStringList arguments) {
            if (QStandardPaths::findExecutable(program).isEmpty())
                return;
            arguments << m_archives.filePath(kind + ".zip") << ".";
            QCOMPARE(TestTree::Run(program, arguments, original), 0);
        };
        make("traditional", "zip", {"-q", "-r", "-P", Right});
        make("AES-128", "7zz", {"a", "-tzip", "-p" + Right, "-mem=AES128"});
        make("AES-256", "7zz", {"a", "-tzip", "-p" + Right, "-mem=AES256"});
    }

    void init() { m_case.emplace(); }
    void cleanup() { m_case.reset(); }

    // Each kind opens with the right password and not with a wrong one; each way of asking asks
    // as often as the answers say, and a failed run leaves nothing beside the archive.
    void asksUntilTheAnswerFits_data() {
        QTest::addColumn<Row>("row");
        const QStringList thirdTry{"wrong", "Secret pass", Right}, wrong{"wrong", "", "s3cret pas"};
        const auto row = [](const char* name, Row row) { QTest::newRow(name) << row; };
        row("window, traditional, third try", {"traditional", Way::Window, thirdTry});
        row("window, traditional, wrong", {"traditional", Way::Window, wrong, WrongCause});
        row("window, AES-128, wrong", {"AES-128", Way::Window, wrong, WrongCause});
        // The CRC or the AES authentication code catches it before the entry is put in place;
        // the smallest entry, which the password is judged on, damaged does not make the
        // right password read as wrong.
        row("window, traditional, damaged",
            {"traditional", Way::Window, {Right}, "(a.txt)", "a.txt"});
        row("window, AES-256, damaged", {"AES-256", Way::Window, {Right}, "(a.txt)", "a.txt"});
        row("window, traditional, the smallest damaged",
            {"traditional", Way::Window, {Right}, "(small.txt)", "small.txt"});
        row("password file, AES-128, the smallest damaged",
            {"AES-128", Way::PasswordFile, {Right + "\n"}, "(small.txt)", "small.txt"});
        row("window, AES-256, cancelled after a wrong one",
            {"AES-256", Way::Window, {"x", Cancel}, WrongCause});
        // Closing the window while it asks stops the run: no message, nothing written.
        row("window closed while it asks", {"traditional", Way::Window, {CloseWindow}, NoMessage});
        row("password file, first line", {"traditional", Way::PasswordFile, {Right + "\nx\n"}});
        row("password file, CR LF", {"AES-128", Way::PasswordFile, {Right + "\r\n"}});
        row("password file, wrong", {"AES-256", Way::PasswordFile, {"wrong\n"}, WrongCause});
        row("no password, no terminal", {"traditional", Way::NoPassword, {}, EncryptedCause});
        row("terminal, second try", {"AES-256", Way::Terminal, {"wrong", Right}});
    }
    void asksUntilTheAnswerFits() {
        QFETCH(Row, row);
        if (!QFile::copy(m_archives.filePath(row.kind + ".zip"), Path("secret.zip")))
            QSKIP("the tool that makes this kind is not installed");
        // A byte well inside a large entry's data, or a small one's last (under AES, of its
        // authentication code), where a deflated stream's unused last bits cannot hide it. The
        // name first shows in the local header; the next record begins right after the data.
        if (!row.damaged.isEmpty()) {
            QFile file(Path("secret.zip"));
            QVERIFY(file.open(QIODevice::ReadWrite));
            QByteArray bytes = file.readAll();
            const qsizetype name = bytes.indexOf(row.damaged.toUtf8());
            qsizetype next = bytes.size();
            for (const char* signature : {"PK\x07\x08", "PK\x03\x04", "PK\x01\x02"})
                if (const qsizetype at = bytes.indexOf(signature, name); at > name)
                    next = std::min(next, at);
            bytes[std::min(name + 200, next - 1)] ^= 0x40;
            QVERIFY(file.seek(0) && file.write(bytes) == bytes.size());
        }
        QString said; // the messages and their causes
        int asked = 0;
        if (row.way == Way::Window)
            AskedByTheWindow(row, &said, &asked);
        else
            AskedByTheCommandLine(row, &said, &asked);
        if (QTest::currentTestFailed())
            return;

        const bool fromFile = row.way == Way::PasswordFile;
        QCOMPARE(asked, fromFile ? 0 : std::min(int(row.answers.size()), 3));
        QVERIFY2(said.contains(row.cause.isEmpty() ? UnzipSucceeded : row.cause), qPrintable(said));
        if (row.cause.isEmpty())
            QCOMPARE(TestTree::Snapshot(Path("secret"), false),
                     TestTree::Snapshot(m_archives.filePath("original"), false));
        else if (!row.damaged.isEmpty()) // the entries before it stay, as with any damage
            QVERIFY(!QFile::exists(Path("secret/" + row.damaged)));
        else
            QCOMPARE(TestTree::Strays(m_case->Root(), {"secret.zip", "password.txt"}), {});
    }

private:
    QString Path(const QString& relative) const { return m_case->Path(relative); }

    // The window asks over itself in a field that hides what is typed, naming the archive and,
    // after a wrong answer, saying so. A run that ends without a message says NoMessage.
    void AskedByTheWindow(const Row& row, QString* said, int* asked) {
        UrlCapture urls;
        ProgressDLG window(Path("secret.zip"));
        ModalDriver driver;
        driver.Ignore(&window);
        QStringList questions;
        for (const QString& answer : row.answers.mid(0, 3))
            driver.Then(TypeIntoPrompt(answer, &questions));
        driver.Then(Answers::PressOk());
        window.exec();
        QVERIFY(GuiFixture::WaitForProgramThreads());
        for (const ModalDriver::Record& record : driver.Seen()) {
            QCOMPARE(record.owner, &window);
            QCOMPARE(record.title, QStringLiteral("Unzipper"));
        }
        for (int i = 0; i < questions.size(); ++i) {
            QVERIFY2(questions[i].contains("secret.zip") && !questions[i].contains("<echoed>"),
                     qPrintable(questions[i]));
            QCOMPARE(questions[i].contains("The password is wrong"), i > 0);
        }
        *asked = int(questions.size());
        const ModalDriver::Record& last = driver.Seen().constLast();
        *said = last.kind == "QMessageBox" ? last.text + '\n' + last.detail : NoMessage;
    }

    // On a terminal the password is typed without echo, and asked again after a wrong one.
    void AskedByTheCommandLine(const Row& row, QString* said, int* asked) {
        QStringList arguments{"unzip", Path("secret.zip")};
        if (row.way == Way::PasswordFile) {
            arguments << "--password-file" << Path("password.txt");
            TestTree::WriteFile(Path("password.txt"), row.answers.value(0).toUtf8());
        }
        const int exitCode =
            row.way == Way::Terminal
                ? TestTree::RunPython(TerminalScript,
                                      QStringList{TARVO_CLI, arguments[1]} + row.answers, said)
                : TestTree::Run(TARVO_CLI, arguments, {}, said);
        QCOMPARE(exitCode, row.cause.isEmpty() ? 0 : 1);
        *asked = int(said->count("Password for secret.zip: "));
        QCOMPARE(said->contains("The password is wrong (try 2 of 3)."), *asked > 1);
        for (const QString& answer : row.answers)
            QVERIFY2(!said->contains(answer + "\r\n"), qPrintable(*said));
    }

    QTemporaryDir m_archives;
    std::optional<GuiFixture::Case> m_case;
};

QTEST_MAIN(TestPasswords)
#include "tst_passwords.moc"
