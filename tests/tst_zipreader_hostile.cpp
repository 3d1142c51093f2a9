// Archives built to escape the destination, to overwrite what is there or to expand without
// end: the reader refuses each one, writes nothing outside, loses nothing and leaves nothing of
// its own behind.

#include "support/ReaderRun.h"
#include "support/TestTree.h"
#include "support/ZipBytes.h"
#include "ziparchive/CZipArchive.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using ReaderRun::Outcome;
using ZipBytes::Entry;

Q_DECLARE_METATYPE(ZipBytes::Entry)
Q_DECLARE_METATYPE(ReaderRun::Outcome)

namespace {

// A temporary folder holding box/archive.zip, unpacked into box/archive. Anything escaping the
// destination lands in box or the folder above it, where the checks look for it.
struct Scene {
    QTemporaryDir top;
    QString box = top.filePath("box");
    QString archive = box + "/archive.zip";
    QString destination = box + "/archive";

    explicit Scene(const QByteArray& bytes) { TestTree::WriteFile(archive, bytes); }

    ReaderRun::Result Unpack(unsigned threads = 0) const {
        return ReaderRun::UnpackLikeTheWorker(archive, destination, threads);
    }

    // Nothing beside the archive and its destination, nothing above, no staging folder.
    void CheckNothingAstray(const QStringList& alsoExpectedInTop = {}) const {
        QCOMPARE(ReaderRun::Strays(top.path(), QStringList{"box"} + alsoExpectedInTop),
                 QStringList());
        QCOMPARE(ReaderRun::Strays(box, {"archive.zip", "archive"}), QStringList());
        QCOMPARE(ReaderRun::Leftovers(top.path()), QStringList());
    }
};

QByteArray Text(const char* text) {
    return QByteArray(text);
}

} // namespace

class TestZipReaderHostile : public QObject {
    Q_OBJECT

private slots:
    void unsafeNamesFailTheirTest_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("absolute") << Text("@TOP@/escaped");
        QTest::newRow("absolute with a backslash") << Text("\\escaped");
        QTest::newRow("climbing") << Text("../escaped");
        QTest::newRow("climbing with backslashes") << Text("..\\escaped");
        QTest::newRow("climbing after descending") << Text("a/b/../../../escaped");
        QTest::newRow("climbing after descending, backslashes")
            << Text("a\\b\\..\\..\\..\\escaped");
        QTest::newRow("climbing two levels") << Text("../../escaped");
        QTest::newRow("drive letter and backslash") << Text("C:\\escaped");
        QTest::newRow("drive letter and slash") << Text("C:/escaped");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("dot") << Text(".");
        QTest::newRow("dot dot") << Text("..");
        QTest::newRow("down and back up to nothing") << Text("a/..");
        QTest::newRow("NUL inside") << QByteArray("esc\0aped", 8);
        QTest::newRow("NUL hiding a climb") << QByteArray("ok\0/../../escaped", 17);
        QTest::newRow("component longer than a file name may be") << QByteArray(300, 'x');
        QTest::newRow("the staging folder's name") << Text(".tarvo-unzip-Ab12Cd/escaped");
    }
    void unsafeNamesFailTheirTest() {
        QFETCH(QByteArray, name);
        Scene scene(QByteArray{});
        name.replace("@TOP@", QFile::encodeName(scene.top.path()));
        TestTree::WriteFile(scene.archive, ZipBytes::Build({ZipBytes::Stored("first.txt", "first"),
                                                            ZipBytes::Stored(name, "escaped"),
                                                            ZipBytes::Stored("last.txt", "last")}));
        const ReaderRun::Result result = scene.Unpack();
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), "corrupted");
        QCOMPARE(result.extracted, std::uint64_t{1});
        QCOMPARE(ReaderRun::Tree(scene.destination).keys(), QStringList{"first.txt"});
        scene.CheckNothingAstray();
    }

    void harmlessNamesLandInside_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("down and back up") << Text("a/../b.txt") << "b.txt";
        QTest::newRow("backslash separates") << Text("a\\b.txt") << "a/b.txt";
        QTest::newRow("leading dot") << Text("./c.txt") << "c.txt";
        QTest::newRow("doubled separator") << Text("d//e.txt") << "d/e.txt";
        QTest::newRow("a name merely starting like a drive") << Text("1:x.txt") << "1:x.txt";
        QTest::newRow("dots inside a name") << Text("..hidden..txt") << "..hidden..txt";
    }
    void harmlessNamesLandInside() {
        QFETCH(QByteArray, name);
        QFETCH(QString, expected);
        Scene scene(ZipBytes::Build({ZipBytes::Stored(name, "content")}));
        QCOMPARE(ReaderRun::OutcomeName(scene.Unpack().outcome), "succeeded");
        QFile file(scene.destination + "/" + expected);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("content"));
        scene.CheckNothingAstray();
    }

    void folderEntriesNamingTheDestinationDoNothing_data() {
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("dot and slash, as some archivers write first") << Text("./");
        QTest::newRow("dot and backslash") << Text(".\\");
        QTest::newRow("down and back up") << Text("a/../");
    }
    void folderEntriesNamingTheDestinationDoNothing() {
        QFETCH(QByteArray, name);
        Scene scene(
            ZipBytes::Build({ZipBytes::Directory(name, 040700), ZipBytes::Stored("f", "x")}));
        QCOMPARE(ReaderRun::OutcomeName(scene.Unpack().outcome), "succeeded");
        QCOMPARE(ReaderRun::Tree(scene.destination).keys(), QStringList{"f"});
        QCOMPARE(QFileInfo(scene.destination).permissions() & QFileDevice::ExeOther,
                 QFileDevice::ExeOther);
        scene.CheckNothingAstray();
    }

    void linksStayInside_data() {
        QTest::addColumn<QList<Entry>>("entries");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<int>("extracted");
        QTest::newRow("a link climbing out, then a file through it")
            << QList<Entry>{ZipBytes::Link("out", "../../outside"),
                            ZipBytes::Stored("out/planted", "x")}
            << Outcome::Corrupted << 0;
        QTest::newRow("an absolute link")
            << QList<Entry>{ZipBytes::Link("abs", "@TOP@/outside")} << Outcome::Corrupted << 0;
        QTest::newRow("a link climbing after a name, which may itself be a link")
            << QList<Entry>{ZipBytes::Link("inner", "."), ZipBytes::Link("l", "inner/../..")}
            << Outcome::Corrupted << 1;
        QTest::newRow("a link deep down climbing one level too many")
            << QList<Entry>{ZipBytes::Link("a/b/l", "../../../outside")} << Outcome::Corrupted << 0;
        QTest::newRow("a link with a drive letter")
            << QList<Entry>{ZipBytes::Link("l", "C:\\outside")} << Outcome::Corrupted << 0;
        QTest::newRow("an empty link")
            << QList<Entry>{ZipBytes::Link("l", "")} << Outcome::Corrupted << 0;
        QTest::newRow("a link inside, then a file written through it")
            << QList<Entry>{ZipBytes::Directory("sub/"), ZipBytes::Link("l", "sub"),
                            ZipBytes::Stored("l/planted", "x")}
            << Outcome::Corrupted << 2;
        QTest::newRow("a link inside, then a folder made through it")
            << QList<Entry>{ZipBytes::Directory("sub/"), ZipBytes::Link("l", "sub"),
                            ZipBytes::Directory("l/made/")}
            << Outcome::Corrupted << 2;
        QTest::newRow("a link climbing within the destination")
            << QList<Entry>{ZipBytes::Link("a/b/l", "../../top.txt"),
                            ZipBytes::Stored("top.txt", "t")}
            << Outcome::Succeeded << 2;
        QTest::newRow("a link to a sibling")
            << QList<Entry>{ZipBytes::Stored("t.txt", "t"), ZipBytes::Link("l", "t.txt")}
            << Outcome::Succeeded << 2;
    }
    void linksStayInside() {
        QFETCH(QList<Entry>, entries);
        QFETCH(Outcome, outcome);
        QFETCH(int, extracted);
        Scene scene(QByteArray{});
        QDir().mkpath(scene.top.filePath("outside"));
        for (Entry& entry : entries) {
            entry.body.replace("@TOP@", QFile::encodeName(scene.top.path()));
            entry.crc = ZipBytes::Crc32(entry.body);
            entry.size = static_cast<std::uint64_t>(entry.body.size());
        }
        TestTree::WriteFile(scene.archive, ZipBytes::Build(entries));
        const ReaderRun::Result result = scene.Unpack();
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), ReaderRun::OutcomeName(outcome));
        QCOMPARE(result.extracted, static_cast<std::uint64_t>(extracted));
        QCOMPARE(
            QDir(scene.top.filePath("outside")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
            QStringList());
        QVERIFY(!QFileInfo::exists(scene.destination + "/sub/planted"));
        QVERIFY(!QFileInfo::exists(scene.destination + "/sub/made"));
        scene.CheckNothingAstray({"outside"});
        if (outcome == Outcome::Succeeded) {
            for (const Entry& entry : entries) {
                if ((entry.externalAttributes >> 16 & 0170000) == 0120000)
                    QCOMPARE(ReaderRun::Tree(scene.destination).value(entry.name),
                             "l " + QString::fromUtf8(entry.body));
            }
        }
    }

    void linksAlreadyInTheDestinationAreNotFollowed_data() {
        QTest::addColumn<QList<Entry>>("entries");
        QTest::addColumn<Outcome>("outcome");
        QTest::newRow("a file below the link")
            << QList<Entry>{ZipBytes::Stored("link/planted", "x")} << Outcome::Corrupted;
        QTest::newRow("a folder below the link")
            << QList<Entry>{ZipBytes::Directory("link/made/")} << Outcome::Corrupted;
        QTest::newRow("a folder entry over the link")
            << QList<Entry>{ZipBytes::Directory("link/", 040700)} << Outcome::Corrupted;
        QTest::newRow("a file over the link replaces the link itself")
            << QList<Entry>{ZipBytes::Stored("link", "replaced", 0100600)} << Outcome::Succeeded;
    }
    void linksAlreadyInTheDestinationAreNotFollowed() {
        QFETCH(QList<Entry>, entries);
        QFETCH(Outcome, outcome);
        Scene scene(ZipBytes::Build(entries));
        const QString outside = scene.top.filePath("outside");
        TestTree::WriteFile(outside + "/kept", "kept", 0644);
        QDir().mkpath(scene.destination);
        QVERIFY(QFile::link(outside, scene.destination + "/link"));
        const auto before = ReaderRun::Tree(outside);
        const ReaderRun::Result result = scene.Unpack();
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), ReaderRun::OutcomeName(outcome));
        QCOMPARE(ReaderRun::Tree(outside), before);
        scene.CheckNothingAstray({"outside"});
    }

    void aDestinationThatIsALinkIsRefused() {
        Scene scene(ZipBytes::Build({ZipBytes::Stored("planted", "x")}));
        const QString outside = scene.top.filePath("outside");
        QDir().mkpath(outside);
        QVERIFY(QFile::link(outside, scene.destination));
        CZipArchive zip;
        zip.Open(scene.archive);
        QVERIFY_THROWS_EXCEPTION(CZipException, zip.SetExtractionRoot(scene.destination));
        zip.Close();
        QCOMPARE(QDir(outside).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void conflictingEntriesFailTheirTest_data() {
        QTest::addColumn<QList<Entry>>("entries");
        QTest::addColumn<QStringList>("kept");
        QTest::newRow("the same name twice")
            << QList<Entry>{ZipBytes::Stored("a", "first"), ZipBytes::Stored("a", "second")}
            << QStringList{"a"};
        QTest::newRow("the same name, once with a backslash")
            << QList<Entry>{ZipBytes::Stored("d/a", "first"), ZipBytes::Stored("d\\a", "second")}
            << QStringList{"d", "d/a"};
        QTest::newRow("a file, then a folder of that name")
            << QList<Entry>{ZipBytes::Stored("a", "first"), ZipBytes::Directory("a/")}
            << QStringList{"a"};
        QTest::newRow("a folder, then a file of that name")
            << QList<Entry>{ZipBytes::Directory("a/"), ZipBytes::Stored("a", "second")}
            << QStringList{"a"};
        QTest::newRow("a file, then a file below it")
            << QList<Entry>{ZipBytes::Stored("a", "first"), ZipBytes::Stored("a/b", "second")}
            << QStringList{"a"};
        QTest::newRow("a file, then a link of that name")
            << QList<Entry>{ZipBytes::Stored("a", "first"), ZipBytes::Link("a", "b")}
            << QStringList{"a"};
    }
    void conflictingEntriesFailTheirTest() {
        QFETCH(QList<Entry>, entries);
        QFETCH(QStringList, kept);
        Scene scene(ZipBytes::Build(entries));
        const ReaderRun::Result result = scene.Unpack();
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), "corrupted");
        const auto tree = ReaderRun::Tree(scene.destination);
        QCOMPARE(tree.keys(), kept);
        for (const QString& path : kept) {
            if (tree[path].startsWith("f"))
                QVERIFY(tree[path].contains(
                    QCryptographicHash::hash("first", QCryptographicHash::Sha1).toHex()));
        }
        scene.CheckNothingAstray();
    }

    void theSameFolderTwiceIsFine() {
        Scene scene(ZipBytes::Build(
            {ZipBytes::Directory("a/"), ZipBytes::Stored("a/f", "x"), ZipBytes::Directory("a/")}));
        QCOMPARE(ReaderRun::OutcomeName(scene.Unpack().outcome), "succeeded");
        QCOMPARE(ReaderRun::Tree(scene.destination).keys(), (QStringList{"a", "a/f"}));
    }

    void whatStandsInTheDestination_data() {
        QTest::addColumn<QString>("existing"); // "f name content" or "d name"
        QTest::addColumn<QList<Entry>>("entries");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("afterwards"); // content of "a", or "dir" when it is a folder
        QTest::newRow("a file is replaced by a sound entry")
            << "f old" << QList<Entry>{ZipBytes::Stored("a", "new")} << Outcome::Succeeded << "new";
        Entry broken = ZipBytes::Stored("a", "new");
        broken.crc ^= 1;
        QTest::newRow("a file is kept when the entry is corrupt")
            << "f old" << QList<Entry>{broken} << Outcome::Corrupted << "old";
        QTest::newRow("a folder is kept when the entry is a file")
            << "d" << QList<Entry>{ZipBytes::Stored("a", "new")} << Outcome::Corrupted << "dir";
        QTest::newRow("a file is kept when the entry is a folder")
            << "f old" << QList<Entry>{ZipBytes::Directory("a/")} << Outcome::Corrupted << "old";
        QTest::newRow("a file is kept when a file should go below it")
            << "f old" << QList<Entry>{ZipBytes::Stored("a/b", "new")} << Outcome::Corrupted
            << "old";
        QTest::newRow("a file is replaced by a link entry")
            << "f old" << QList<Entry>{ZipBytes::Link("a", "elsewhere")} << Outcome::Succeeded
            << "link";
    }
    void whatStandsInTheDestination() {
        QFETCH(QString, existing);
        QFETCH(QList<Entry>, entries);
        QFETCH(Outcome, outcome);
        QFETCH(QString, afterwards);
        Scene scene(ZipBytes::Build(entries));
        const QString a = scene.destination + "/a";
        if (existing.startsWith('f'))
            TestTree::WriteFile(a, existing.mid(2).toUtf8());
        else
            TestTree::WriteFile(a + "/inside", "inside");
        QCOMPARE(ReaderRun::OutcomeName(scene.Unpack().outcome), ReaderRun::OutcomeName(outcome));
        const QFileInfo info(a);
        if (afterwards == "dir") {
            QVERIFY(info.isDir());
            QVERIFY(QFileInfo::exists(a + "/inside"));
        } else if (afterwards == "link") {
            QVERIFY(info.isSymLink());
        } else {
            QFile file(a);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), afterwards.toUtf8());
        }
        scene.CheckNothingAstray();
    }

    void bombsAreRefusedBeforeAnythingIsWritten_data() {
        QTest::addColumn<QByteArray>("archive");
        const QByteArray body = TestTree::TextBytes(4000, 1);
        {
            QList<Entry> entries{ZipBytes::Stored("a", body)};
            Entry shared = ZipBytes::Stored("b", body);
            shared.sharesLocalHeaderOf = 0;
            entries << shared;
            QTest::newRow("two entries sharing one body") << ZipBytes::Build(entries);
        }
        {
            QList<Entry> entries{ZipBytes::Bzip2("0", QByteArray(1 << 20, 'z'))};
            for (int i = 1; i < 200; ++i) {
                Entry shared = entries.front();
                shared.name = QByteArray::number(i);
                shared.sharesLocalHeaderOf = 0;
                entries << shared;
            }
            QTest::newRow("many entries sharing one high-ratio body") << ZipBytes::Build(entries);
        }
        {
            // The first entry's data runs over the second's local header: each byte range is
            // counted once per entry that claims it.
            Entry quoting = ZipBytes::Stored("a", body);
            Entry quoted = ZipBytes::Stored("b", body);
            quoting.compressedSizeOverride = body.size() + 30 + 1 + body.size();
            QTest::newRow("an entry quoting the next one's header")
                << ZipBytes::Build({quoting, quoted});
        }
        {
            Entry intoDirectory = ZipBytes::Stored("a", body);
            intoDirectory.compressedSizeOverride = body.size() + 10;
            QTest::newRow("an entry running into the central directory")
                << ZipBytes::Build({intoDirectory});
        }
        {
            ZipBytes::Options options;
            options.declaredCount = 60000;
            QTest::newRow("more entries declared than the directory holds")
                << ZipBytes::Build({ZipBytes::Stored("a", "x")}, options);
        }
        {
            ZipBytes::Options options;
            options.declaredCount = 1ull << 40;
            options.zip64EndRecords = true;
            QTest::newRow("a trillion entries declared in the ZIP64 record")
                << ZipBytes::Build({ZipBytes::Stored("a", "x")}, options);
        }
        {
            Entry bomb = ZipBytes::Bzip2("bomb", QByteArray(1 << 20, '\0'));
            bomb.size = 4ull << 40;
            bomb.zip64 = true;
            QTest::newRow("a terabyte declared by a small BZIP2 entry")
                << ZipBytes::Build({ZipBytes::Stored("first", "x"), bomb});
        }
    }
    void bombsAreRefusedBeforeAnythingIsWritten() {
        QFETCH(QByteArray, archive);
        Scene scene(archive);
        const ReaderRun::Result result = scene.Unpack();
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), "failed");
        QVERIFY(!QFileInfo::exists(scene.destination));
        scene.CheckNothingAstray();
    }

    void aSmallBombUnderItsDeclaredSizeStopsThere() {
        // Declared as ten bytes, expanding to 64 MiB: decoding stops one buffer past the declared
        // size and nothing of it stays.
        Entry bomb = ZipBytes::Bzip2("bomb", QByteArray(64 << 20, '\0'));
        bomb.size = 10;
        Scene scene(ZipBytes::Build({bomb}));
        const ReaderRun::Result result = scene.Unpack();
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), "corrupted");
        QVERIFY(!QFileInfo::exists(scene.destination));
        scene.CheckNothingAstray();
    }
};

QTEST_GUILESS_MAIN(TestZipReaderHostile)
#include "tst_zipreader_hostile.moc"
