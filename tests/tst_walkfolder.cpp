// The folder walk on real trees: order, links, special files and unreadable folders.

#include "archive/WalkFolder.h"
#include "support/TestTree.h"
#include "ziparchive/CZipArchive.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Where a walked path stands: for each component, its place in its directory's own order, as
// the file system returns it unsorted. The walk is depth first in that order when these rise
// from one path to the next.
QList<int> Rank(const QString& root, const QString& relative) {
    const auto everything = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    QList<int> rank;
    QString folder = root;
    for (const QString& part : relative.split('/')) {
        rank << QDir(folder).entryList(everything, QDir::Unsorted).indexOf(part);
        folder += "/" + part;
    }
    return rank;
}

// The tree below the walked folder F (TestTree::Make's items, split at ", "; none: F is
// missing), the files listed, by path below F, how many special files were left out, and a
// folder made unreadable.
struct WalkRow {
    QString tree, listed = {};
    quint64 skipped = 0;
    QString unreadable = {};
};

} // namespace

Q_DECLARE_METATYPE(WalkRow)

class TestWalkFolder : public QObject {
    Q_OBJECT

private slots:
    void walk_data() {
        QTest::addColumn<WalkRow>("row");
        QTest::newRow("files at any depth, hidden ones too, folders not listed")
            << WalkRow{"a.txt, s/c.txt, s/t/d.txt, z.txt, .hidden, e/",
                       ".hidden, a.txt, s/c.txt, s/t/d.txt, z.txt"};
        QTest::newRow("only empty folders give nothing") << WalkRow{"a/b/, c/"};
        QTest::newRow("links to files count, dangling links are skipped") << WalkRow{
            "../outside.txt, link.txt -> ../outside.txt, dangling -> nowhere", "link.txt"};
        QTest::newRow("a folder reached under two names is listed under each") << WalkRow{
            "real/x, real/in/y, alias -> real", "alias/in/y, alias/x, real/in/y, real/x"};
        QTest::newRow("only a link back into its own parents is cut")
            << WalkRow{"sub/file, sub/back-to-top -> .., again -> sub, sub/self -> self, "
                       "sub/inner/up -> ../../sub",
                       "again/file, sub/file"};
        QTest::newRow("FIFOs, sockets and devices are never opened, and counted")
            << WalkRow{"plain, fifo|, socket@, zeros -> /dev/zero", "plain", 3};
        QTest::newRow("a missing folder throws") << WalkRow{""};
        QTest::newRow("an unreadable folder throws")
            << WalkRow{"locked/x, open/y", "", 0, "locked"};
    }
    void walk() {
        QFETCH(WalkRow, row);
        QTemporaryDir dir;
        const QString root = dir.filePath("F");
        if (!row.tree.isEmpty())
            QVERIFY(QDir().mkpath(root));
        for (const QString& item : row.tree.split(", ", Qt::SkipEmptyParts))
            TestTree::Make(root, item);
        const std::string narrowRoot = QFile::encodeName(root).toStdString();
        if (row.tree.isEmpty() || !row.unreadable.isEmpty()) {
            const QByteArray locked = QFile::encodeName(root + "/" + row.unreadable);
            ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
            ::chmod(locked.constData(), 0);
            // Root reads every folder whatever its mode: meanwhile the walk runs as nobody.
            const bool asRoot = ::geteuid() == 0;
            QVERIFY(!asRoot || ::seteuid(65534) == 0);
            const auto restore = qScopeGuard([&] {
                if (asRoot && ::seteuid(0) != 0)
                    qFatal("cannot take back the privileges given up");
                ::chmod(locked.constData(), 0755);
            });
            std::vector<std::string> files;
            QVERIFY_THROWS_EXCEPTION(CZipException, WalkFolder(narrowRoot, files));
            return;
        }
        const QString current = QDir::currentPath();
        std::vector<std::string> files;
        const SkippedSpecials found = WalkFolder(narrowRoot, files);
        QCOMPARE(QDir::currentPath(), current);
        QStringList walked;
        for (const std::string& file : files) {
            walked << QDir(root).relativeFilePath(QFile::decodeName(file.c_str()));
            if (walked.size() > 1)
                QVERIFY2(Rank(root, walked.at(walked.size() - 2)) < Rank(root, walked.last()),
                         qPrintable(walked.join(", ")));
        }
        walked.sort();
        QCOMPARE(walked, row.listed.split(", ", Qt::SkipEmptyParts));
        QCOMPARE(found.count, row.skipped);
        // The first one left out is told by its path: one that is no file nor folder.
        struct stat first {};
        QVERIFY(row.skipped == 0 || (::stat(found.first.c_str(), &first) == 0 &&
                                     !S_ISREG(first.st_mode) && !S_ISDIR(first.st_mode)));
    }
};

QTEST_GUILESS_MAIN(TestWalkFolder)
#include "tst_walkfolder.moc"
