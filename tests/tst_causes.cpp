// Every failure says why: the cause, with the entry and the path involved, as the second line
// of tarvo-cli's error output and as the detailed text of the window's message box. The
// message itself reads as it always did, and the run leaves nothing but the entries it could
// finish.
//
// Encrypted archives made by other tools (traditional and AES): the worker asks for the password
// before anything is written, up to three times; the windows ask in a hidden field; the command
// line reads it from a file or the terminal, and fails as encrypted when it has neither.

#include "archive/Messages.h"
#include "support/GuiFixture.h"
#include "support/ModalDriver.h"
#include "support/TestTree.h"
#include "support/ZipBytes.h"
#include "ui/ProgressDLG.h"

#include <QDir>
#include <QFile>
#include <QInputDialog>
#include <QLineEdit>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

namespace {

using namespace Messages; // what the workers say
const QString Cancel = QStringLiteral("<cancel>");
const QString CloseWindow = QStringLiteral("<close the window>");
const QString Right = QStringLiteral("s3cret pass");
const QString WrongCause = QStringLiteral("the password is wrong");
const QString EncryptedCause = QStringLiteral("is encrypted: a password is needed");
const QString NoMessage = QStringLiteral("<no message>");

// A name given in "small/" lies on a file system of 1 MiB; one starting with "unreadable" is
// written with mode 0, and tarvo-cli reads it as nobody, since root may read anything.
struct CauseRow {
    QString command;    // tarvo-cli's "unzip" or "zip", or "window": the window's unzip
    QString given;      // the name handed over, in the case folder; ending in "/": a folder
    QByteArray content; // written under that name first; null: nothing is
    QString message;
    QString cause;         // a piece of it; %1 is the case folder
    QStringList left = {}; // what the run leaves in the case folder
};

// Who asks for the password, and how it is given.
enum class Way {
    Window,       // the direct mode's window, whose prompt the main window shares
    PasswordFile, // tarvo-cli --password-file, the file holding the first answer
    NoPassword,   // tarvo-cli with neither a password file nor a terminal
    Terminal,     // tarvo-cli on a terminal of its own
};

struct PasswordRow {
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
        if (!prompt)
            return void(modal->close());
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

// The direct mode's window on `archive`, whose prompts and message box the main window shares:
// each answer goes into the next password question, then the message is answered. Every modal
// comes over the window under its title; each question hides what is typed, names the archive
// and, after a wrong answer, says so. *said gets the message and its detailed text on two lines,
// or NoMessage when the run ended without one.
void RunWindow(const QString& archive, const QStringList& answers, int* asked, QString* said) {
    ProgressDLG window(archive);
    ModalDriver driver;
    driver.Ignore(&window);
    QStringList questions;
    for (const QString& answer : answers.mid(0, 3))
        driver.Then(TypeIntoPrompt(answer, &questions));
    driver.Then(Answers::PressOk());
    window.exec();
    QVERIFY(GuiFixture::WaitForProgramThreads());
    for (const ModalDriver::Record& record : driver.Seen()) {
        QCOMPARE(record.owner, &window);
        QCOMPARE(record.title, Unzipper);
    }
    for (int i = 0; i < questions.size(); ++i) {
        QVERIFY2(questions[i].contains(QFileInfo(archive).fileName()) &&
                     !questions[i].contains("<echoed>"),
                 qPrintable(questions[i]));
        QCOMPARE(questions[i].contains("The password is wrong"), i > 0);
    }
    *asked = int(questions.size());
    const ModalDriver::Record& last = driver.Seen().constLast();
    *said = last.kind == "QMessageBox" ? last.text + '\n' + last.detail : NoMessage;
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

Q_DECLARE_METATYPE(CauseRow)
Q_DECLARE_METATYPE(PasswordRow)

class TestCauses : public QObject {
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

    void theCauseFollowsTheMessage_data() {
        QTest::addColumn<CauseRow>("row");
        const auto row = [](const char* name, const CauseRow& row) { QTest::newRow(name) << row; };
        const QByteArray none;
        using namespace ZipBytes;
        Entry damaged = Stored("damaged.txt", "the stored bytes");
        damaged.crc ^= 1;
        Entry huge = Stored("huge.bin", "small");
        huge.size = 1ull << 60;
        huge.zip64 = true;

        row("no such file", {"unzip", "missing.zip", none, UnzipFailed,
                             "cannot open %1/missing.zip: No such file or directory"});
        row("permission denied", {"unzip", "unreadable.zip", "never read", UnzipFailed,
                                  "cannot open %1/unreadable.zip: Permission denied"});
        row("not a regular file",
            {"unzip", "folder.zip/", none, UnzipFailed, "%1/folder.zip: it is not a regular file"});
        row("not a zip archive", {"unzip", "notes.zip", "plain text, no archive\n", UnzipFailed,
                                  "%1/notes.zip: the archive cannot be read: it is not a zip"});
        row("a file in the way",
            {"unzip", "case.zip", Build({Stored("a", "a file"), Stored("a/b.txt", "below")}),
             ZipFileCorrupted,
             "entry 2 (a/b.txt): a file is in the way on the path to %1/case/a/b.txt",
             QStringList{"case", "case/a"}});
        // Refused before anything is written, the small entry before it too.
        row("the folder would need more than is free",
            {"unzip", "case.zip", Build({Stored("first", ""), huge}), UnzipFailed,
             "it needs 1152921504606846976 bytes, and "});
        row("the disk is full",
            {"zip", "small/noise.bin", TestTree::RandomBytes(700 * 1024, 9), ZipFailed,
             "the disk is full: cannot write %1/small/noise.bin.zip"});
        row("no file to zip", {"zip", "gone.txt", none, ZipFailed,
                               "cannot read %1/gone.txt: No such file or directory"});
        // The window keeps its text and puts the cause behind "Show Details...".
        row("window: a corrupted entry", {"window", "case.zip", Build({damaged}), ZipFileCorrupted,
                                          "entry 1 (damaged.txt): the entry's CRC does not match"});
    }
    void theCauseFollowsTheMessage() {
        QFETCH(CauseRow, row);
        const QString folder = m_case->Root(), path = Path(row.given);
        const QByteArray small = QFile::encodeName(folder + "/small");
        if (row.given.startsWith("small/")) {
            QVERIFY(QDir().mkpath(small));
            if (::mount("tarvo-test", small.constData(), "tmpfs", 0, "size=1m") != 0)
                QSKIP("cannot mount a small file system here");
        }
        const auto unmount = qScopeGuard([&] { ::umount2(small.constData(), MNT_DETACH); });
        if (row.given.endsWith('/'))
            QDir().mkpath(path);
        else if (!row.content.isNull())
            TestTree::WriteFile(path, row.content, row.given.startsWith("unreadable") ? 0 : -1);
        auto before = TestTree::Snapshot(folder);

        QString output; // the message, then the cause
        int asked = 0;
        if (row.command == QLatin1String("window")) {
            RunWindow(path, {}, &asked, &output);
        } else { // tarvo-cli's standard error
            const QString nobody = row.given.startsWith("unreadable") && ::geteuid() == 0
                                       ? "setpriv --reuid=65534 --regid=65534 --clear-groups "
                                       : "";
            QCOMPARE(TestTree::Run("bash",
                                   {"-c", nobody + "\"$0\" \"$1\" \"$2\" 2>&1 >/dev/null",
                                    TARVO_CLI, row.command, path},
                                   QStringLiteral("/"), &output),
                     1);
        }
        const QStringList said = output.split('\n');
        QCOMPARE(said.value(0), row.message);
        QVERIFY2(said.value(1).contains(QString(row.cause).replace("%1", folder)),
                 qPrintable(said.join('\n')));
        for (const QString& kept : row.left)
            before.insert(kept, TestTree::Snapshot(folder).value(kept));
        QCOMPARE(TestTree::Snapshot(folder), before);
    }

    // Each kind opens with the right password and not with a wrong one; each way of asking asks
    // as often as the answers say, and a failed run leaves nothing beside the archive.
    void asksUntilTheAnswerFits_data() {
        QTest::addColumn<PasswordRow>("row");
        const QStringList thirdTry{"wrong", "Secret pass", Right}, wrong{"wrong", "", "s3cret pas"};
        const auto row = [](const char* name, PasswordRow row) { QTest::newRow(name) << row; };
        row("window, traditional, third try", {"traditional", Way::Window, thirdTry});
        row("window, traditional, wrong", {"traditional", Way::Window, wrong, WrongCause});
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
        // AES entries are refused as encrypted, not as unreadable; a traditional one without a
        // password is in tst_zipreader.
        row("no password, no terminal", {"AES-256", Way::NoPassword, {}, EncryptedCause});
        row("terminal, second try", {"AES-256", Way::Terminal, {"wrong", Right}});
    }
    void asksUntilTheAnswerFits() {
        QFETCH(PasswordRow, row);
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
        if (row.way == Way::Window) {
            RunWindow(Path("secret.zip"), row.answers, &asked, &said);
            if (QTest::currentTestFailed())
                return;
        } else {
            // On a terminal the password is typed without echo, and asked again after a wrong one.
            QStringList arguments{"unzip", Path("secret.zip")};
            if (row.way == Way::PasswordFile) {
                arguments << "--password-file" << Path("password.txt");
                TestTree::WriteFile(Path("password.txt"), row.answers.value(0).toUtf8());
            }
            const int exitCode =
                row.way == Way::Terminal
                    ? TestTree::RunPython(TerminalScript,
                                          QStringList{TARVO_CLI, arguments[1]} + row.answers, &said)
                    : TestTree::Run(TARVO_CLI, arguments, {}, &said);
            QCOMPARE(exitCode, row.cause.isEmpty() ? 0 : 1);
            asked = int(said.count("Password for secret.zip: "));
            QCOMPARE(said.contains("The password is wrong (try 2 of 3)."), asked > 1);
            for (const QString& answer : row.answers)
                QVERIFY2(!said.contains(answer + "\r\n"), qPrintable(said));
        }

        QCOMPARE(asked, row.way == Way::PasswordFile ? 0 : std::min(int(row.answers.size()), 3));
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

    QTemporaryDir m_archives;
    std::optional<GuiFixture::Case> m_case;
};

QTEST_MAIN(TestCauses)
#include "tst_causes.moc"
