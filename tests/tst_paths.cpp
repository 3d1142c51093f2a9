// What a path given to tarvo-cli names, on a real tree: the exact bytes of the argument, ".."
// and links as the system resolves them, the folder an archive unpacks into, and the files an
// operation must leave alone. Each row runs shell commands in a fresh tree and lists every
// change they made to it.

#include "support/TestTree.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Three small archives of one entry each, a file to protect beside them, and a link.
const char kTree[] = R"(
mkdir -p box/release box/release.v2 box/run box/sub real/x real/b b notes
echo mine > box/release/victim.txt
echo theirs > victim.txt && zip -q t.zip victim.txt && rm victim.txt
cp t.zip box/release.v2/archive && cp t.zip box/.zip && mv t.zip box/sub/archive
echo inside > inside.txt && zip -q real/bb.zip inside.txt && rm inside.txt
ln -s real/x a
echo real > real/b/file.txt && echo look-alike > b/other.txt && echo data > notes/f
)";

// Every change between two snapshots: "+path" added, "~path" changed, "-path" removed.
QStringList Changes(const QMap<QString, QString>& before, const QMap<QString, QString>& after) {
    QStringList changes;
    for (auto it = after.begin(); it != after.end(); ++it)
        if (!before.contains(it.key()))
            changes << "+" + it.key();
        else if (before.value(it.key()) != it.value())
            changes << "~" + it.key();
    for (auto it = before.begin(); it != before.end(); ++it)
        if (!after.contains(it.key()))
            changes << "-" + it.key();
    changes.sort();
    return changes;
}

int Shell(const QString& script, const QString& folder, QString* output = nullptr) {
    // `cli` runs the built tarvo-cli, passed as $0.
    return TestTree::Run("bash", {"-c", "cli() { \"$0\" \"$@\"; }\n" + script, TARVO_CLI}, folder,
                         output);
}

} // namespace

class TestPaths : public QObject {
    Q_OBJECT

private slots:
    void theArgumentNamesWhatTheSystemNames_data() {
        QTest::addColumn<QString>("prepare"); // before the tree is first looked at
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("says"); // part of the output; empty: anything

        const auto row = [](const char* name, const QString& prepare, const QString& command,
                            int exitCode, const QStringList& changes, const QString& says = {}) {
            QTest::newRow(name) << prepare << command << exitCode << changes << says;
        };
        const QStringList subArchive{"+box/sub/archive(1)", "+box/sub/archive(1)/victim.txt"};
        row("./archive, from its own folder", "", "cd box/sub && cli unzip ./archive", 0,
            subArchive);
        row("../sub/archive, from a sibling folder", "", "cd box/run && cli unzip ../sub/archive",
            0, subArchive);
        row("unzip a/../bb.zip, a a link: beside the archive the system opens", "",
            "cli unzip a/../bb.zip", 0, {"+real/bb", "+real/bb/inside.txt"});
        row("zip a/../b, a a link: the folder the system names", "", "cli zip a/../b", 0,
            {"+real/b.zip"});
        row("zip .: the folder itself, beside it", "", "cd box/run && cli zip .", 0,
            {"+box/run.zip"});
        row("zip a link: beside the link", "", "cli zip a", 0, {"+a.zip"});
        // A name that is not UTF-8 and its look-alike, U+FFFD in place of the odd byte.
        const QString oddPair =
            "mkdir $'caf\\xe9' $'caf\\xef\\xbf\\xbd' && "
            "echo x > $'caf\\xef\\xbf\\xbd/x' && "
            "cp real/bb.zip $'caf\\xe9.zip' && cp real/bb.zip $'caf\\xef\\xbf\\xbd.zip'";
        row("zip a name that is not UTF-8: refused, the look-alike untouched", oddPair,
            "cli zip $'caf\\xe9'", 2, {}, "caf\\xE9");
        row("unzip a name that is not UTF-8: refused, the look-alike untouched", oddPair,
            "cli unzip $'caf\\xe9.zip'", 2, {}, "caf\\xE9");
        row("an existing archive it may write is replaced", "cp real/bb.zip notes/f.zip",
            "cli zip notes/f", 0, {"~notes/f.zip"});
        row("an existing file of notes is not replaced", "echo my notes > notes/f.zip",
            "cli zip notes/f", 1, {}, "notes/f.zip is already there and is not a zip archive");
        row("an existing read-only archive is not replaced",
            "cp real/bb.zip notes/f.zip && chmod 444 notes/f.zip", "cli zip notes/f", 1, {},
            "notes/f.zip is already there and is read-only");
        row("an existing folder is not replaced", "mkdir notes/f.zip", "cli zip notes/f", 1, {},
            "notes/f.zip is already there and is a folder");
        row("a FIFO as the archive: refused at once", "",
            "mkfifo pipe.zip; timeout 20 \"$0\" unzip pipe.zip; code=$?; rm pipe.zip; exit $code",
            1, {});
        row("names that would be one once stored: refused, both named",
            "mkdir -p clash/a && echo 1 > clash/a/b && echo 2 > 'clash/a\\b'", "cli zip clash", 1,
            {}, "Two files would be stored under one name");
    }
    void theArgumentNamesWhatTheSystemNames() {
        QFETCH(QString, prepare);
        QFETCH(QString, command);
        QFETCH(int, exitCode);
        QFETCH(QStringList, changes);
        QFETCH(QString, says);
        QTemporaryDir dir;
        QCOMPARE(Shell(kTree, dir.path()), 0);
        if (!prepare.isEmpty())
            QCOMPARE(Shell(prepare, dir.path()), 0);
        const auto before = TestTree::Snapshot(dir.path(), false);
        QString output;
        const int code = Shell(command, dir.path(), &output);
        QVERIFY2(code == exitCode, qPrintable(QString("exit %1: %2").arg(code).arg(output)));
        QCOMPARE(Changes(before, TestTree::Snapshot(dir.path(), false)), changes);
        QVERIFY2(output.contains(says), qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "tst_paths.moc"
