// Damaged archives, entries the reader cannot decode, a destination that runs out of room, and
// what a killed run leaves behind: each ends in a clear outcome with nothing half-written.

#include "support/ReaderRun.h"
#include "support/TestTree.h"
#include "support/ZipBytes.h"
#include "ziparchive/CZipArchive.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

using ReaderRun::Outcome;
using ZipBytes::Entry;

Q_DECLARE_METATYPE(ReaderRun::Outcome)

namespace {

struct Scene {
    QTemporaryDir top;
    QString archive = top.filePath("archive.zip");
    QString destination = top.filePath("archive");

    explicit Scene(const QByteArray& bytes) { TestTree::WriteFile(archive, bytes); }

    ReaderRun::Result Unpack(unsigned threads = 0) const {
        return ReaderRun::UnpackLikeTheWorker(archive, destination, threads);
    }

    void CheckNothingAstray() const {
        QCOMPARE(ReaderRun::Strays(top.path(), {"archive.zip", "archive"}), QStringList());
        QCOMPARE(ReaderRun::Leftovers(top.path()), QStringList());
    }
};

QByteArray Sound(int size, quint32 seed) {
    return TestTree::TextBytes(size, seed);
}

Entry WithCrcFlipped(Entry entry) {
    entry.crc ^= 0x00100000;
    return entry;
}

Entry Declaring(Entry entry, std::uint64_t size) {
    entry.size = size;
    return entry;
}

mode_t CurrentUmaskForTest() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

} // namespace

class TestZipReaderBroken : public QObject {
    Q_OBJECT

private slots:
    void damagedData_data() {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<int>("extracted");
        const QByteArray text = Sound(20000, 7);
        const Entry first = ZipBytes::Stored("first.txt", "first");
        const QByteArray whole = ZipBytes::Build({first, ZipBytes::Deflated("second.txt", text)});

        QTest::newRow("cut in half") << whole.left(whole.size() / 2) << Outcome::Failed << 0;
        QTest::newRow("cut inside the end record")
            << whole.left(whole.size() - 5) << Outcome::Failed << 0;
        QTest::newRow("empty file") << QByteArray() << Outcome::Failed << 0;
        QTest::newRow("not an archive") << Sound(5000, 3) << Outcome::Failed << 0;
        ZipBytes::Options junk;
        junk.prefix = Sound(1000, 4);
        QTest::newRow("junk before, offsets not adjusted")
            << ZipBytes::Build({first, ZipBytes::Deflated("second.txt", text)}, junk)
            << Outcome::Succeeded << 2;
        junk = {};
        junk.suffix = Sound(1000, 5) + QByteArray("PK\5\6 stray signature");
        QTest::newRow("junk after")
            << ZipBytes::Build({first, ZipBytes::Deflated("second.txt", text)}, junk)
            << Outcome::Succeeded << 2;
        Entry nowhere = ZipBytes::Stored("second.txt", "x");
        nowhere.localHeaderOffsetOverride = 0x7fff0000;
        QTest::newRow("an offset past the end")
            << ZipBytes::Build({first, nowhere}) << Outcome::Corrupted << 1;
        Entry misplaced = ZipBytes::Stored("second.txt", "x");
        misplaced.localHeaderOffsetOverride = 5;
        QTest::newRow("an offset into another entry's header")
            << ZipBytes::Build({first, misplaced}) << Outcome::Failed << 0;
        QTest::newRow("CRC mismatch, stored")
            << ZipBytes::Build({first, WithCrcFlipped(ZipBytes::Stored("second.txt", text))})
            << Outcome::Corrupted << 1;
        QTest::newRow("CRC mismatch, deflated")
            << ZipBytes::Build({first, WithCrcFlipped(ZipBytes::Deflated("second.txt", text))})
            << Outcome::Corrupted << 1;
        QTest::newRow("CRC mismatch, bzip2")
            << ZipBytes::Build({first, WithCrcFlipped(ZipBytes::Bzip2("second.txt", text))})
            << Outcome::Corrupted << 1;
        QTest::newRow("body longer than declared, stored")
            << ZipBytes::Build({first, Declaring(ZipBytes::Stored("second.txt", text), 100)})
            << Outcome::Corrupted << 1;
        QTest::newRow("body longer than declared, deflated")
            << ZipBytes::Build({first, Declaring(ZipBytes::Deflated("second.txt", text), 100)})
            << Outcome::Corrupted << 1;
        QTest::newRow("body longer than declared, bzip2")
            << ZipBytes::Build({first, Declaring(ZipBytes::Bzip2("second.txt", text), 100)})
            << Outcome::Corrupted << 1;
        QTest::newRow("body shorter than declared, deflated")
            << ZipBytes::Build({first, Declaring(ZipBytes::Deflated("second.txt", text), 30000)})
            << Outcome::Corrupted << 1;
        QTest::newRow("body shorter than declared, bzip2")
            << ZipBytes::Build({first, Declaring(ZipBytes::Bzip2("second.txt", text), 30000)})
            << Outcome::Corrupted << 1;
        Entry damaged = ZipBytes::Bzip2("second.txt", text);
        for (qsizetype i = damaged.body.size() / 3; i < damaged.body.size() / 3 + 16; ++i)
            damaged.body[i] = static_cast<char>(damaged.body[i] ^ 0x5a);
        QTest::newRow("damaged bzip2 stream")
            << ZipBytes::Build({first, damaged}) << Outcome::Corrupted << 1;
        Entry cut = ZipBytes::Bzip2("second.txt", text);
        cut.body.chop(cut.body.size() / 2);
        QTest::newRow("bzip2 stream cut short")
            << ZipBytes::Build({first, cut}) << Outcome::Corrupted << 1;
        Entry empty = ZipBytes::Bzip2("second.txt", {});
        empty.body.clear();
        QTest::newRow("bzip2 entry without any stream")
            << ZipBytes::Build({first, empty}) << Outcome::Corrupted << 1;
        QTest::newRow("bzip2 stream of nothing")
            << ZipBytes::Build({first, ZipBytes::Bzip2("second.txt", {})}) << Outcome::Succeeded
            << 2;
        Entry twoStreams = ZipBytes::Bzip2("second.txt", text + text);
        twoStreams.body = ZipBytes::Bzip2Stream(text) + ZipBytes::Bzip2Stream(text);
        QTest::newRow("two bzip2 streams back to back")
            << ZipBytes::Build({first, twoStreams}) << Outcome::Corrupted << 1;
        Entry damagedDeflate = ZipBytes::Deflated("second.txt", text);
        damagedDeflate.body.fill('\xff', 64);
        QTest::newRow("damaged deflate stream")
            << ZipBytes::Build({first, damagedDeflate}) << Outcome::Corrupted << 1;
        for (const int method : {6, 14, 93, 95, 98}) {
            Entry unsupported = ZipBytes::Stored("second.txt", text);
            unsupported.method = static_cast<std::uint16_t>(method);
            QTest::addRow("unsupported method %d", method)
                << ZipBytes::Build({first, unsupported}) << Outcome::Corrupted << 1;
        }
        Entry huge = ZipBytes::Stored("second.txt", "x");
        huge.size = 0xffffffff;
        QTest::newRow("4 GiB - 1 declared without a ZIP64 field")
            << ZipBytes::Build({first, huge}) << Outcome::Failed << 0;
    }
    void damagedData() {
        QFETCH(QByteArray, archive);
        QFETCH(Outcome, outcome);
        QFETCH(int, extracted);
        Scene scene(archive);
        const ReaderRun::Result result = scene.Unpack();
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), ReaderRun::OutcomeName(outcome));
        QCOMPARE(result.extracted, static_cast<std::uint64_t>(extracted));
        const QStringList expected = QStringList{"first.txt", "second.txt"}.mid(0, extracted);
        QCOMPARE(ReaderRun::Tree(scene.destination).keys(), expected);
        if (extracted == 0)
            QVERIFY(!QFileInfo::exists(scene.destination));
        scene.CheckNothingAstray();
    }

    void encryptedEntriesEndTheRun() {
        Entry secret = ZipBytes::Stored("secret.txt", Sound(3000, 9));
        secret.flags |= 0x0001;
        Scene scene(ZipBytes::Build({ZipBytes::Stored("first.txt", "first"), secret}));
        TestTree::WriteFile(scene.destination + "/secret.txt", "kept");
        const ReaderRun::Result result = scene.Unpack();
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), "failed");
        QCOMPARE(result.extracted, std::uint64_t{1});
        QFile kept(scene.destination + "/secret.txt");
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("kept"));
        scene.CheckNothingAstray();
    }

    void nothingAfterAFailingEntryIsCommitted_data() {
        QTest::addColumn<unsigned>("threads");
        QTest::newRow("one worker") << 1u;
        QTest::newRow("two workers") << 2u;
        QTest::newRow("one per core") << 0u;
    }
    void nothingAfterAFailingEntryIsCommitted() {
        QFETCH(unsigned, threads);
        // Far more entries than the workers may decode ahead, the broken one in the middle.
        QList<Entry> entries;
        for (int i = 0; i < 400; ++i) {
            const QByteArray name = QByteArray("f") + QByteArray::number(i).rightJustified(3, '0');
            Entry entry = i % 2 ? ZipBytes::Bzip2(name, Sound(3000 + i, i))
                                : ZipBytes::Deflated(name, Sound(3000 + i, i));
            entries << (i == 250 ? WithCrcFlipped(entry) : entry);
        }
        Scene scene(ZipBytes::Build(entries));
        const ReaderRun::Result result = scene.Unpack(threads);
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), "corrupted");
        QCOMPARE(result.extracted, std::uint64_t{250});
        const QStringList names = ReaderRun::Tree(scene.destination).keys();
        QCOMPARE(names.size(), 250);
        QCOMPARE(names.last(), QString("f249"));
        scene.CheckNothingAstray();
    }

    void aFullDiskEndsTheRunAndLeavesNothing() {
        QTemporaryDir top;
        const QString mount = top.filePath("small");
        QDir().mkpath(mount);
        if (::mount("tarvo-test", QFile::encodeName(mount).constData(), "tmpfs", 0, "size=4m") != 0)
            QSKIP("mounting a small file system needs privileges this run does not have");
        struct Unmount {
            QByteArray path;
            ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
        } unmount{QFile::encodeName(mount)};
        const QString archive = top.filePath("archive.zip");
        TestTree::WriteFile(archive,
                            ZipBytes::Build({ZipBytes::Stored("small.txt", "small"),
                                             ZipBytes::Stored("big.bin", Sound(3 << 20, 2))}));
        const QString destination = mount + "/archive";
        TestTree::WriteFile(destination + "/big.bin", "kept");
        CZipArchive zip;
        zip.Open(archive);
        zip.SetExtractionRoot(destination);
        // The room was there when it was checked; something else takes it meanwhile.
        TestTree::WriteFile(mount + "/filler", QByteArray(3 << 20, 'f'));
        QVERIFY(zip.TestFile(0));
        zip.ExtractFile(0, destination);
        QVERIFY_THROWS_EXCEPTION(CZipException, zip.TestFile(1));
        zip.Close();
        QCOMPARE(ReaderRun::Tree(destination).keys(), (QStringList{"big.bin", "small.txt"}));
        QFile kept(destination + "/big.bin");
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("kept"));
        QCOMPARE(ReaderRun::Leftovers(mount), QStringList());
    }

    void aFailedWriteEndsTheRunAndLeavesNothing() {
        Scene scene(ZipBytes::Build({ZipBytes::Stored("small.txt", "small"),
                                     ZipBytes::Bzip2("big.bin", Sound(3 << 20, 2))}));
        TestTree::WriteFile(scene.destination + "/big.bin", "kept");
        // Files may grow to 1 MiB only: writes past that fail, as on a full disk.
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = before;
        limited.rlim_cur = 1 << 20;
        ::setrlimit(RLIMIT_FSIZE, &limited);
        const ReaderRun::Result result = scene.Unpack();
        ::setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, previousHandler);
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), "failed");
        QCOMPARE(result.extracted, std::uint64_t{1});
        QFile kept(scene.destination + "/big.bin");
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("kept"));
        scene.CheckNothingAstray();
    }

    void whatAKilledRunLeftIsRemoved() {
        Scene scene(ZipBytes::Build({ZipBytes::Stored("a.txt", "a")}));
        const QString abandoned = scene.destination + "/.tarvo-unzip-Ab12Cd";
        TestTree::WriteFile(abandoned + "/e0", "half");
        TestTree::WriteFile(abandoned + "/e1", "half");
        // A run still in progress holds its folder locked; that one stays.
        const QString inUse = scene.destination + "/.tarvo-unzip-Zz99Yy";
        TestTree::WriteFile(inUse + "/e0", "busy");
        const int lock = ::open(QFile::encodeName(inUse).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(lock >= 0);
        QCOMPARE(::flock(lock, LOCK_EX | LOCK_NB), 0);
        // Names that only look alike are the user's.
        const QString lookalike = scene.destination + "/.tarvo-unzip-mine!";
        TestTree::WriteFile(lookalike + "/data", "mine");

        QCOMPARE(ReaderRun::OutcomeName(scene.Unpack().outcome), "succeeded");
        ::close(lock);
        QVERIFY(!QFileInfo::exists(abandoned));
        QVERIFY(QFileInfo::exists(inUse + "/e0"));
        QVERIFY(QFileInfo::exists(lookalike + "/data"));
        QVERIFY(QFileInfo::exists(scene.destination + "/a.txt"));
    }

    void theStagingFolderLivesOnlyWhileOpen() {
        Scene scene(
            ZipBytes::Build({ZipBytes::Stored("a.txt", "a"), ZipBytes::Stored("b.txt", "b")}));
        {
            CZipArchive zip;
            zip.Open(scene.archive);
            zip.SetExtractionRoot(scene.destination);
            QVERIFY(zip.TestFile(0));
            QCOMPARE(ReaderRun::Leftovers(scene.top.path()).size(), 1);
            // Destroyed without Close, after a test and before its extraction.
        }
        QVERIFY(!QFileInfo::exists(scene.destination));
        scene.CheckNothingAstray();
    }

    void modesAreRestoredSafely_data() {
        QTest::addColumn<int>("host");
        QTest::addColumn<quint32>("attributes");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<int>("expected");
        const int umask = static_cast<int>(CurrentUmaskForTest());
        QTest::newRow("plain") << 3 << (0100640u << 16) << false << 0640;
        QTest::newRow("executable") << 3 << (0100755u << 16) << false << 0755;
        QTest::newRow("read-only") << 3 << (0100444u << 16) << false << 0444;
        QTest::newRow("setuid dropped") << 3 << (0104755u << 16) << false << 0755;
        QTest::newRow("setgid dropped") << 3 << (0102755u << 16) << false << 0755;
        QTest::newRow("world-writable dropped") << 3 << (0100666u << 16) << false << 0664;
        QTest::newRow("sticky world-writable folder") << 3 << (041777u << 16) << true << 0775;
        QTest::newRow("setgid folder") << 3 << (042770u << 16) << true << 0770;
        QTest::newRow("read-only folder") << 3 << (040555u << 16) << true << 0555;
        QTest::newRow("no Unix mode: under the umask") << 3 << 0u << false << (0666 & ~umask);
        QTest::newRow("FAT file") << 0 << 0x20u << false << (0666 & ~umask);
        QTest::newRow("FAT read-only file") << 0 << 0x21u << false << (0444 & ~umask);
        QTest::newRow("NTFS folder") << 11 << 0x10u << true << (0777 & ~umask);
        QTest::newRow("NTFS with stray upper bits ignored")
            << 11 << ((0104777u << 16) | 0x20u) << false << (0666 & ~umask);
    }
    void modesAreRestoredSafely() {
        QFETCH(int, host);
        QFETCH(quint32, attributes);
        QFETCH(bool, folder);
        QFETCH(int, expected);
        Entry entry = folder ? ZipBytes::Directory("item/") : ZipBytes::Stored("item", "data");
        entry.versionMadeBy = static_cast<std::uint16_t>((host << 8) | 30);
        entry.externalAttributes = attributes;
        // A file below the folder shows it still took entries before its mode was set.
        QList<Entry> entries{entry};
        if (folder)
            entries << ZipBytes::Stored("item/inside", "x");
        Scene scene(ZipBytes::Build(entries));
        QCOMPARE(ReaderRun::OutcomeName(scene.Unpack().outcome), "succeeded");
        struct stat info {};
        QCOMPARE(::lstat(QFile::encodeName(scene.destination + "/item").constData(), &info), 0);
        QCOMPARE(folder, S_ISDIR(info.st_mode));
        QCOMPARE(static_cast<int>(info.st_mode & 07777), expected);
        ::chmod(QFile::encodeName(scene.destination + "/item").constData(), 0755);
    }

    void timesComeFromTheLocalHeader_data() {
        QTest::addColumn<QByteArray>("localExtra");
        QTest::addColumn<QByteArray>("centralExtra");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<qint64>("expected");
        tm noon{};
        noon.tm_year = 125;
        noon.tm_mday = 1;
        noon.tm_hour = 12;
        noon.tm_isdst = -1;
        const qint64 dosTime = ::mktime(&noon); // the builder's DOS time, read as local time
        QTest::newRow("DOS time, read as local time")
            << QByteArray() << QByteArray() << false << dosTime;
        QTest::newRow("extended timestamp") << ZipBytes::ExtendedTimestamp(1234567890)
                                            << QByteArray() << false << qint64{1234567890};
        QTest::newRow("extended timestamp on a folder")
            << ZipBytes::ExtendedTimestamp(1234567890) << QByteArray() << true
            << qint64{1234567890};
        QTest::newRow("a time only in the central directory is not used")
            << QByteArray() << ZipBytes::ExtendedTimestamp(1234567890) << false << dosTime;
    }
    void timesComeFromTheLocalHeader() {
        QFETCH(QByteArray, localExtra);
        QFETCH(QByteArray, centralExtra);
        QFETCH(bool, folder);
        QFETCH(qint64, expected);
        Entry entry = folder ? ZipBytes::Directory("item/") : ZipBytes::Stored("item", "data");
        entry.localExtra = localExtra;
        entry.centralExtra = centralExtra;
        QList<Entry> entries{entry};
        if (folder)
            entries << ZipBytes::Stored("item/inside", "x");
        Scene scene(ZipBytes::Build(entries));
        QCOMPARE(ReaderRun::OutcomeName(scene.Unpack().outcome), "succeeded");
        struct stat info {};
        QCOMPARE(::lstat(QFile::encodeName(scene.destination + "/item").constData(), &info), 0);
        QCOMPARE(static_cast<qint64>(info.st_mtime), expected);
    }
};

QTEST_GUILESS_MAIN(TestZipReaderBroken)
#include "tst_zipreader_broken.moc"
