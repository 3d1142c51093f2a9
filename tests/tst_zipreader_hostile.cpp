// Archives built to escape the destination, to overwrite what is there, to expand without end,
// or simply damaged; a disk that fills up, a run killed half-way, and entry counts past 16 bits.
// Each ends in a clear outcome: nothing is written outside the destination, nothing already there
// is lost, nothing half-written or of the reader's own is left behind.

#include "support/ReaderRun.h"
#include "support/TestTree.h"
#include "support/ZipBytes.h"
#include "ziparchive/CZipArchive.h"

#include <QCryptographicHash>
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

using ZipBytes::Build;
using ZipBytes::Directory;
using ZipBytes::Entry;
using ZipBytes::Link;
using ZipBytes::Stored;

Q_DECLARE_METATYPE(ZipBytes::Entry)

namespace {

// The same entry as a DOS or Windows archiver writes it: there '\\' can only be a separator.
Entry MadeOnDos(Entry entry) {
    entry.versionMadeBy = 20;
    entry.externalAttributes = entry.name.endsWith('\\') ? 0x10 : 0x20;
    return entry;
}

// Items of a tree as the tables write them: "name=content" for a file, "name/" for a folder,
// "name -> target" for a link.
void Make(const QString& root, const QStringList& items) {
    for (const QString& item : items) {
        const QString path = root + "/" + item.section(" -> ", 0, 0).section('=', 0, 0);
        QDir().mkpath(QFileInfo(path).path());
        if (item.endsWith('/'))
            QDir().mkpath(path);
        else if (item.contains(" -> "))
            QFile::link(item.section(" -> ", 1), path);
        else
            TestTree::WriteFile(path, item.section('=', 1).toUtf8());
    }
}

// The same items as TestTree::Snapshot(root, false) shows them.
QMap<QString, QString> Described(const QString& root, const QStringList& items) {
    QMap<QString, QString> tree;
    for (const QString& item : items) {
        const QString name = item.section(" -> ", 0, 0).section('=', 0, 0);
        if (item.endsWith('/')) {
            tree[name.chopped(1)] = "d ";
        } else if (item.contains(" -> ")) {
            const QDir folder = QFileInfo(root + "/" + name).dir();
            tree[name] = "l " + QDir::cleanPath(folder.absoluteFilePath(item.section(" -> ", 1)));
        } else {
            const QByteArray content = item.section('=', 1).toUtf8();
            tree[name] =
                "f  " + QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex();
        }
    }
    return tree;
}

Entry WithCrcFlipped(Entry entry) {
    entry.crc ^= 0x00100000;
    return entry;
}

Entry Declaring(Entry entry, std::uint64_t size) {
    entry.size = size;
    return entry;
}

// An entry with the given host system and external attributes; a folder when they say so.
Entry Item(int host, quint32 attributes, const QByteArray& localExtra = {},
           const QByteArray& centralExtra = {}) {
    const bool folder = (attributes & 0x10) || (host == 3 && (attributes >> 28) == 04);
    Entry entry = Stored(folder ? "item/" : "item", folder ? "" : "data");
    entry.versionMadeBy = static_cast<std::uint16_t>((host << 8) | 30);
    entry.externalAttributes = attributes;
    entry.localExtra = localExtra;
    entry.centralExtra = centralExtra;
    return entry;
}

int CurrentUmask() {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return static_cast<int>(mask);
}

// A small tmpfs mounted for one test, unmounted when it goes; IsMounted is false when this run
// may not mount.
class SmallDisk {
public:
    SmallDisk(const QString& path, const char* options) : m_path(QFile::encodeName(path)) {
        QDir().mkpath(path);
        m_mounted = ::mount("tarvo-test", m_path.constData(), "tmpfs", 0, options) == 0;
    }
    ~SmallDisk() {
        if (m_mounted)
            ::umount2(m_path.constData(), MNT_DETACH);
    }
    bool IsMounted() const { return m_mounted; }

private:
    QByteArray m_path;
    bool m_mounted = false;
};

// A name `depth` folders deep, with the file "f" at the bottom.
QByteArray DeepName(int depth) {
    return QByteArray("d/").repeated(depth) + "f";
}

// How many folders deep the file "f" lies below root, found without a path that long; -1 when
// it is not there.
int DepthOfDeepFile(const QString& root) {
    int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY);
    int depth = 0;
    while (fd >= 0) {
        struct stat info {};
        if (::fstatat(fd, "f", &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode)) {
            ::close(fd);
            return depth;
        }
        const int below = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
        ::close(fd);
        fd = below;
        ++depth;
    }
    return -1;
}

} // namespace

class TestZipReaderHostile : public QObject {
    Q_OBJECT

    // Holds box/archive.zip, unpacked into box/archive, and outside/kept. Anything escaping the
    // destination lands in box, beside outside or in it, where the checks look for it.
    QTemporaryDir m_top;
    QString Box() const { return m_top.filePath("box"); }
    QString Archive() const { return Box() + "/archive.zip"; }
    QString Destination() const { return Box() + "/archive"; }
    QString Outside() const { return m_top.filePath("outside"); }
    QString Unpack(unsigned threads = 0) const {
        return ReaderRun::Unpack(Archive(), Destination(), threads);
    }

    void CheckNothingAstray() const {
        QCOMPARE(ReaderRun::Strays(m_top.path(), {"box", "outside"}), QStringList());
        QCOMPARE(ReaderRun::Strays(Box(), {"archive.zip", "archive"}), QStringList());
        QCOMPARE(TestTree::Snapshot(Outside(), false), Described(Outside(), {"kept=kept"}));
        QCOMPARE(ReaderRun::Leftovers(m_top.path()), QStringList());
    }

    static void AddColumns() {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QStringList>("existing"); // in the destination beforehand
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QStringList>("expected"); // in the destination afterwards
        QTest::addColumn<unsigned>("threads");
    }
    static void Row(const char* name, const QByteArray& archive, const char* outcome,
                    const QStringList& expected, const QStringList& existing = {},
                    unsigned threads = 0) {
        QTest::newRow(name) << archive << existing << QString(outcome) << expected << threads;
    }

    void CheckUnpack() {
        QFETCH(QByteArray, archive);
        QFETCH(QStringList, existing);
        QFETCH(QString, outcome);
        QFETCH(QStringList, expected);
        QFETCH(unsigned, threads);
        TestTree::WriteFile(Archive(), archive);
        Make(Destination(), existing);
        QCOMPARE(Unpack(threads), outcome);
        if (existing.isEmpty() && expected.isEmpty())
            QVERIFY(!QFileInfo::exists(Destination()));
        else if (existing.isEmpty()) // no entry may change the destination's own mode
            QVERIFY(QFileInfo(Destination()).permissions() & QFileDevice::ExeOther);
        const auto tree = TestTree::Snapshot(Destination(), false);
        const auto wanted = Described(Destination(), expected);
        QCOMPARE(tree.keys(), wanted.keys());
        QCOMPARE(tree, wanted);
        CheckNothingAstray();
    }

private slots:
    void init() {
        QDir(m_top.path()).removeRecursively();
        QDir().mkpath(Box());
        TestTree::WriteFile(Outside() + "/kept", "kept");
    }

    void unsafeNames_data() {
        AddColumns();
        const QByteArray top = QFile::encodeName(m_top.path());
        const std::pair<const char*, QByteArray> names[] = {
            {"absolute", top + "/escaped"},
            {"absolute with a backslash", "\\escaped"},
            {"climbing", "../escaped"},
            {"climbing two levels", "../../escaped"},
            {"climbing with backslashes", "..\\escaped"},
            {"climbing after descending", "a/b/../../../escaped"},
            {"climbing after descending, backslashes", "a\\b\\..\\..\\..\\escaped"},
            {"drive letter and backslash", "C:\\escaped"},
            {"drive letter and slash", "C:/escaped"},
            {"empty", ""},
            {"dot", "."},
            {"dot dot", ".."},
            {"down and back up to nothing", "a/.."},
            {"NUL inside", QByteArray("esc\0aped", 8)},
            {"NUL hiding a climb", QByteArray("ok\0/../../escaped", 17)},
            {"component longer than a file name may be", QByteArray(300, 'x')},
            {"the staging folder's name", ".tarvo-unzip-Ab12Cd/escaped"},
        };
        for (const auto& [row, name] : names)
            Row(row,
                Build({Stored("first.txt", "first"), Stored(name, "escaped"),
                       Stored("last.txt", "last")}),
                "corrupted", {"first.txt=first"});
    }
    void unsafeNames() { CheckUnpack(); }

    void harmlessNames_data() {
        AddColumns();
        const auto one = [](const QByteArray& name) { return Build({Stored(name, "c")}); };
        Row("down and back up", one("a/../b.txt"), "succeeded", {"b.txt=c"});
        Row("a backslash separates in a DOS-made name", Build({MadeOnDos(Stored("a\\b.txt", "c"))}),
            "succeeded", {"a/", "a/b.txt=c"});
        Row("a backslash is a character in a Unix-made name", one("a\\b.txt"), "succeeded",
            {"a\\b.txt=c"});
        Row("leading dot", one("./c.txt"), "succeeded", {"c.txt=c"});
        Row("doubled separator", one("d//e.txt"), "succeeded", {"d/", "d/e.txt=c"});
        Row("a name merely starting like a drive", one("1:x.txt"), "succeeded", {"1:x.txt=c"});
        Row("dots inside a name", one("..hidden..txt"), "succeeded", {"..hidden..txt=c"});
        for (const char* folder : {"./", ".\\", "a/../"})
            Row(qPrintable(QString("a folder entry naming the destination: %1").arg(folder)),
                Build({MadeOnDos(Directory(folder)), Stored("f", "x")}), "succeeded", {"f=x"});
    }
    void harmlessNames() { CheckUnpack(); }

    void links_data() {
        AddColumns();
        const QString outside = Outside();
        const QByteArray absolute = QFile::encodeName(outside);
        Row("a link climbing out, then a file through it",
            Build({Link("out", "../../outside"), Stored("out/planted", "x")}), "corrupted", {});
        Row("an absolute link", Build({Link("abs", absolute)}), "corrupted", {});
        Row("a link climbing after a name, which may itself be a link",
            Build({Link("inner", "."), Link("l", "inner/../..")}), "corrupted", {"inner -> ."});
        Row("a link deep down climbing one level too many",
            Build({Link("a/b/l", "../../../outside")}), "corrupted", {});
        Row("a link with a drive letter", Build({Link("l", "C:\\outside")}), "corrupted", {});
        Row("an empty link", Build({Link("l", "")}), "corrupted", {});
        Row("a link inside, then a file written through it",
            Build({Directory("sub/"), Link("l", "sub"), Stored("l/planted", "x")}), "corrupted",
            {"sub/", "l -> sub"});
        Row("a link inside, then a folder made through it",
            Build({Directory("sub/"), Link("l", "sub"), Directory("l/made/")}), "corrupted",
            {"sub/", "l -> sub"});
        Row("a link climbing within the destination",
            Build({Link("a/b/l", "../../top.txt"), Stored("top.txt", "t")}), "succeeded",
            {"a/", "a/b/", "a/b/l -> ../../top.txt", "top.txt=t"});
        Row("a link to a sibling", Build({Stored("t.txt", "t"), Link("l", "t.txt")}), "succeeded",
            {"t.txt=t", "l -> t.txt"});

        // A link already in the destination is not followed.
        const QStringList existing{"link -> " + outside};
        Row("a file below a link already there", Build({Stored("link/planted", "x")}), "corrupted",
            existing, existing);
        Row("a folder below a link already there", Build({Directory("link/made/")}), "corrupted",
            existing, existing);
        Row("a folder entry over a link already there", Build({Directory("link/", 040700)}),
            "corrupted", existing, existing);
        Row("a file entry keeps a link already there and what it points to",
            Build({Stored("link", "replaced", 0100600)}), "corrupted", existing, existing);
    }
    void links() { CheckUnpack(); }

    void aDestinationThatIsALinkIsRefused() {
        TestTree::WriteFile(Archive(), Build({Stored("planted", "x")}));
        QVERIFY(QFile::link(Outside(), Destination()));
        QCOMPARE(Unpack(), "failed");
        CheckNothingAstray();
    }

    void conflicts_data() {
        AddColumns();
        Row("the same name twice", Build({Stored("a", "first"), Stored("a", "second")}),
            "corrupted", {"a=first"});
        Row("the same name, once with a backslash",
            Build({Stored("d/a", "first"), MadeOnDos(Stored("d\\a", "second"))}), "corrupted",
            {"d/", "d/a=first"});
        Row("a file, then a folder of that name", Build({Stored("a", "first"), Directory("a/")}),
            "corrupted", {"a=first"});
        Row("a folder, then a file of that name", Build({Directory("a/"), Stored("a", "second")}),
            "corrupted", {"a/"});
        Row("a file, then a file below it", Build({Stored("a", "first"), Stored("a/b", "second")}),
            "corrupted", {"a=first"});
        Row("a file, then a link of that name", Build({Stored("a", "first"), Link("a", "b")}),
            "corrupted", {"a=first"});
        Row("the same folder twice is fine",
            Build({Directory("a/"), Stored("a/f", "x"), Directory("a/")}), "succeeded",
            {"a/", "a/f=x"});

        // What stands in the destination already is never replaced.
        Row("a file is kept when a sound entry names it", Build({Stored("a", "new")}), "corrupted",
            {"a=old"}, {"a=old"});
        Row("a file is kept when the entry is corrupt", Build({WithCrcFlipped(Stored("a", "new"))}),
            "corrupted", {"a=old"}, {"a=old"});
        Row("a folder is kept when the entry is a file", Build({Stored("a", "new")}), "corrupted",
            {"a/", "a/inside=inside"}, {"a/inside=inside"});
        Row("a file is kept when the entry is a folder", Build({Directory("a/")}), "corrupted",
            {"a=old"}, {"a=old"});
        Row("a file is kept when a file should go below it", Build({Stored("a/b", "new")}),
            "corrupted", {"a=old"}, {"a=old"});
        Row("a file is kept when a link entry names it", Build({Link("a", "elsewhere")}),
            "corrupted", {"a=old"}, {"a=old"});
    }
    void conflicts() { CheckUnpack(); }

    // The directory parse and libzip must read one and the same archive, or what is checked is
    // not what is extracted, and other tools show other files.
    void oneReadingOfTheArchive_data() {
        AddColumns();
        const QByteArray readme = TestTree::TextBytes(60, 1);
        // A script of the same size and CRC as readme.txt, under a name as long.
        const QByteArray script = ZipBytes::WithCrc(
            QByteArray("#!/bin/sh\necho planted\n").leftJustified(readme.size() - 4, '#'),
            ZipBytes::Crc32(readme));
        const Entry planted = Stored("install.sh", script, 0100755);
        ZipBytes::Options appended;
        appended.prefix = Build({planted});
        appended.prefixCounted = true;
        Row("two end records, the first one's entry with a forged CRC",
            Build({Stored("readme.txt", readme)}, appended), "failed", {});

        // The ZIP64 end record points to one directory, the plain one to another.
        const QByteArray first = appended.prefix;
        appended.prefix.chop(22);
        appended.zip64EndRecords = true;
        QByteArray twoDirectories = Build({Stored("readme.txt", readme)}, appended);
        twoDirectories.replace(twoDirectories.size() - 14, 12, first.right(14).left(12));
        Row("ZIP64 and plain end records pointing to different directories", twoDirectories,
            "failed", {});

        const QByteArray alpha = TestTree::TextBytes(40, 2);
        const QByteArray beta =
            ZipBytes::WithCrc(TestTree::TextBytes(36, 3), ZipBytes::Crc32(alpha));
        appended = {};
        appended.prefix = Build({Stored("a.txt", alpha), Stored("b.txt", beta)});
        appended.prefixCounted = true;
        Row("the same entries listed again in another order",
            Build({Stored("b.txt", beta), Stored("a.txt", alpha)}, appended), "failed", {});

        const auto namedAlso = [](Entry entry, const QByteArray& field) {
            entry.centralExtra = field;
            return entry;
        };
        Row("a Unicode path field naming another file",
            Build({namedAlso(Stored("readme.txt", "r"),
                             ZipBytes::UnicodePath("readme.txt", "install.sh"))}),
            "failed", {});
        Row("a stale Unicode path field naming another file",
            Build({namedAlso(Stored("readme.txt", "r"),
                             ZipBytes::UnicodePath("readme.txt", "install.sh", true))}),
            "failed", {});
        Row("a Unicode path field giving a CP437 name in UTF-8",
            Build({namedAlso(Stored("caf\x82.txt", "c"),
                             ZipBytes::UnicodePath("caf\x82.txt", "caf\xc3\xa9.txt"))}),
            "succeeded", {QString::fromUtf8("caf\xc3\xa9.txt=c")});
        Row("a Unicode path field giving a Shift JIS name in UTF-8",
            Build({namedAlso(Stored("\x95\x5c.txt", "s"),
                             ZipBytes::UnicodePath("\x95\x5c.txt", "\xe8\xa1\xa8.txt"))}),
            "succeeded", {QString::fromUtf8("\xe8\xa1\xa8.txt=s")});

        // An archive stored in the last entry brings its own end record, which is content.
        // Its bytes all ASCII, as the table holds contents as text.
        QByteArray inner;
        for (int i = 0; inner.isEmpty() ||
                        std::any_of(inner.begin(), inner.end(), [](char c) { return c < 0; });
             ++i)
            inner = Build({MadeOnDos(Stored("inner.txt", "inner " + QByteArray::number(i)))});
        Row("an archive stored in the last entry",
            Build({Stored("first.txt", "first"), Stored("inner.zip", inner)}), "succeeded",
            {"first.txt=first", "inner.zip=" + QString::fromLatin1(inner)});

        // Encrypted with AES: refused as encrypted when its turn comes, not as unreadable.
        Entry aes = Stored("secret.txt", TestTree::RandomBytes(100, 4));
        aes.method = 99;
        aes.flags |= 0x0001;
        aes.localExtra = aes.centralExtra = ZipBytes::AesField(8);
        Row("an AES-encrypted entry ends the run when its turn comes",
            Build({Stored("first.txt", "first"), aes}), "failed",
            {"first.txt=first", "secret.txt=kept"}, {"secret.txt=kept"});
    }
    void oneReadingOfTheArchive() { CheckUnpack(); }

    void bombsAreRefusedBeforeAnythingIsWritten_data() {
        AddColumns();
        const QByteArray body = TestTree::TextBytes(4000, 1);
        Entry shared = Stored("b", body);
        shared.sharesLocalHeaderOf = 0;
        Row("two entries sharing one body", Build({Stored("a", body), shared}), "failed", {});
        QList<Entry> many{ZipBytes::Bzip2("0", QByteArray(1 << 20, 'z'))};
        for (int i = 1; i < 200; ++i) {
            many << many.front();
            many.back().name = QByteArray::number(i);
            many.back().sharesLocalHeaderOf = 0;
        }
        Row("many entries sharing one high-ratio body", Build(many), "failed", {});
        // Each byte range is counted once per entry that claims it.
        Entry quoting = Stored("a", body);
        quoting.compressedSizeOverride = body.size() + 30 + 1 + body.size();
        Row("an entry quoting the next one's header", Build({quoting, Stored("b", body)}), "failed",
            {});
        Entry intoDirectory = Stored("a", body);
        intoDirectory.compressedSizeOverride = body.size() + 10;
        Row("an entry running into the central directory", Build({intoDirectory}), "failed", {});
        ZipBytes::Options options;
        options.declaredCount = 60000;
        Row("more entries declared than the directory holds", Build({Stored("a", "x")}, options),
            "failed", {});
        options.declaredCount = 1ull << 40;
        options.zip64EndRecords = true;
        Row("a trillion entries declared in the ZIP64 record", Build({Stored("a", "x")}, options),
            "failed", {});
        Entry bomb = ZipBytes::Bzip2("bomb", QByteArray(1 << 20, '\0'));
        bomb.size = 4ull << 40;
        bomb.zip64 = true;
        Row("a terabyte declared by a small BZIP2 entry", Build({Stored("first", "x"), bomb}),
            "failed", {});
        // Decoding stops one buffer past the declared size.
        Row("64 MiB declared as ten bytes",
            Build({Declaring(ZipBytes::Bzip2("bomb", QByteArray(64 << 20, '\0')), 10)}),
            "corrupted", {});
    }
    void bombsAreRefusedBeforeAnythingIsWritten() { CheckUnpack(); }

    void damagedData_data() {
        AddColumns();
        const QByteArray text = TestTree::TextBytes(20000, 7);
        const Entry first = Stored("first.txt", "first");
        const QByteArray whole = Build({first, ZipBytes::Deflated("second.txt", text)});
        const QStringList one{"first.txt=first"};
        const QStringList both = one + QStringList{"second.txt=" + QString::fromLatin1(text)};
        const auto second = [&](const Entry& entry) { return Build({first, entry}); };

        Row("cut in half", whole.left(whole.size() / 2), "failed", {});
        Row("cut inside the end record", whole.left(whole.size() - 5), "failed", {});
        Row("empty file", QByteArray(), "failed", {});
        Row("not an archive", TestTree::TextBytes(5000, 3), "failed", {});
        ZipBytes::Options junk;
        junk.prefix = TestTree::TextBytes(1000, 4);
        Row("junk before, offsets not adjusted",
            Build({first, ZipBytes::Deflated("second.txt", text)}, junk), "succeeded", both);
        junk = {};
        junk.suffix = TestTree::TextBytes(1000, 5) + "PK\5\6 stray signature";
        Row("junk after", Build({first, ZipBytes::Deflated("second.txt", text)}, junk), "succeeded",
            both);
        Entry offset = Stored("second.txt", "x");
        offset.localHeaderOffsetOverride = 0x7fff0000;
        Row("an offset past the end", second(offset), "corrupted", one);
        offset.localHeaderOffsetOverride = 5;
        Row("an offset into another entry's header", second(offset), "failed", {});
        Row("CRC mismatch, stored", second(WithCrcFlipped(Stored("second.txt", text))), "corrupted",
            one);
        Row("CRC mismatch, deflated",
            second(WithCrcFlipped(ZipBytes::Deflated("second.txt", text))), "corrupted", one);
        Row("body longer than declared, stored", second(Declaring(Stored("second.txt", text), 100)),
            "corrupted", one);
        Row("body longer than declared, deflated",
            second(Declaring(ZipBytes::Deflated("second.txt", text), 100)), "corrupted", one);
        Row("body shorter than declared, deflated",
            second(Declaring(ZipBytes::Deflated("second.txt", text), 30000)), "corrupted", one);
        Entry damaged = ZipBytes::Deflated("second.txt", text);
        damaged.body.fill('\xff', 64);
        Row("damaged deflate stream", second(damaged), "corrupted", one);
        Entry empty = ZipBytes::Bzip2("second.txt", {});
        Row("bzip2 stream of nothing", second(empty), "succeeded",
            one + QStringList{"second.txt="});
        empty.body.clear();
        Row("bzip2 entry without any stream", second(empty), "corrupted", one);
        for (const int method : {6, 14, 93, 95, 98}) {
            Entry unsupported = Stored("second.txt", text);
            unsupported.method = static_cast<std::uint16_t>(method);
            Row(qPrintable(QString("unsupported method %1").arg(method)), second(unsupported),
                "corrupted", one);
        }
        Entry huge = Stored("second.txt", "x");
        huge.size = 0xffffffff;
        Row("4 GiB - 1 declared without a ZIP64 field", second(huge), "failed", {});
        Entry secret = Stored("secret.txt", text);
        secret.flags |= 0x0001;
        Row("an encrypted entry ends the run and keeps what it would replace", second(secret),
            "failed", one + QStringList{"secret.txt=kept"}, {"secret.txt=kept"});

        // Far more entries than the workers may decode ahead, the broken one in the middle:
        // nothing after it is committed.
        QList<Entry> entries;
        QStringList before;
        for (int i = 0; i < 400; ++i) {
            const QByteArray name = "f" + QByteArray::number(i).rightJustified(3, '0');
            const QByteArray content = TestTree::TextBytes(3000 + i, i);
            entries << (i % 2 ? ZipBytes::Bzip2(name, content) : ZipBytes::Deflated(name, content));
            if (i < 250)
                before << name + "=" + content;
        }
        entries[250] = WithCrcFlipped(entries[250]);
        const QByteArray archive = Build(entries);
        Row("the 251st of 400 entries broken, one worker", archive, "corrupted", before, {}, 1);
        Row("the 251st of 400 entries broken, two workers", archive, "corrupted", before, {}, 2);
        Row("the 251st of 400 entries broken, one per core", archive, "corrupted", before, {}, 0);
    }
    void damagedData() { CheckUnpack(); }

    void aFullDiskEndsTheRunAndLeavesNothing() {
        const QString mount = m_top.filePath("small");
        QDir().mkpath(mount);
        if (::mount("tarvo-test", QFile::encodeName(mount).constData(), "tmpfs", 0, "size=4m") != 0)
            QSKIP("mounting a small file system needs privileges this run does not have");
        struct Unmount {
            QByteArray path;
            ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
        } unmount{QFile::encodeName(mount)};
        TestTree::WriteFile(Archive(), Build({Stored("small.txt", "small"),
                                              Stored("big.bin", TestTree::TextBytes(3 << 20, 2))}));
        const QString destination = mount + "/archive";
        TestTree::WriteFile(destination + "/big.bin", "kept");
        CZipArchive zip;
        zip.Open(Archive());
        zip.SetExtractionRoot(destination);
        // The room was there when it was checked; something else takes it meanwhile.
        TestTree::WriteFile(mount + "/filler", QByteArray(3 << 20, 'f'));
        QVERIFY(zip.TestFile(0));
        zip.ExtractFile(0, destination);
        QVERIFY_THROWS_EXCEPTION(CZipException, zip.TestFile(1));
        zip.Close();
        QCOMPARE(TestTree::Snapshot(destination, false),
                 Described(destination, {"big.bin=kept", "small.txt=small"}));
        QCOMPARE(ReaderRun::Leftovers(mount), QStringList());
    }

    void aFailedWriteEndsTheRunAndLeavesNothing() {
        TestTree::WriteFile(Archive(),
                            Build({Stored("small.txt", "small"),
                                   ZipBytes::Bzip2("big.bin", TestTree::TextBytes(3 << 20, 2))}));
        TestTree::WriteFile(Destination() + "/big.bin", "kept");
        // Files may grow to 1 MiB only: writes past that fail, as on a full disk.
        rlimit before{};
        ::getrlimit(RLIMIT_FSIZE, &before);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = before;
        limited.rlim_cur = 1 << 20;
        ::setrlimit(RLIMIT_FSIZE, &limited);
        const QString outcome = Unpack();
        ::setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, previousHandler);
        QCOMPARE(outcome, "failed");
        QCOMPARE(TestTree::Snapshot(Destination(), false),
                 Described(Destination(), {"big.bin=kept", "small.txt=small"}));
        CheckNothingAstray();
    }

    // The room is counted as the file system allocates it: whole blocks per file and folder,
    // and an inode each. What does not fit is refused before anything is written.
    void roomIsCountedInBlocksAndInodes_data() {
        QTest::addColumn<QByteArray>("options");
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("fileSize");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("6,000 one-byte files on 20 MiB")
            << QByteArray("size=20m") << 6000 << 1 << "failed";
        QTest::newRow("more files than free inodes")
            << QByteArray("size=20m,nr_inodes=600") << 1000 << 0 << "failed";
        QTest::newRow("1,000 one-byte files in folders, with room")
            << QByteArray("size=20m,nr_inodes=1200") << 1000 << 1 << "succeeded";
    }
    void roomIsCountedInBlocksAndInodes() {
        QFETCH(QByteArray, options);
        QFETCH(int, files);
        QFETCH(int, fileSize);
        QFETCH(QString, outcome);
        const QString mount = m_top.filePath("small");
        const SmallDisk disk(mount, options.constData());
        if (!disk.IsMounted())
            QSKIP("mounting a small file system needs privileges this run does not have");
        QList<Entry> entries;
        for (int i = 0; i < files; ++i)
            entries << Stored(QString("%1/f%2").arg(i / 100).arg(i).toUtf8(),
                              QByteArray(fileSize, 'x'));
        TestTree::WriteFile(Archive(), Build(entries));
        const QString destination = mount + "/archive";
        QCOMPARE(ReaderRun::Unpack(Archive(), destination), outcome);
        const auto tree = TestTree::Snapshot(destination, false);
        QCOMPARE(std::count_if(tree.begin(), tree.end(), [](auto& item) { return item[0] == 'f'; }),
                 outcome == "succeeded" ? qsizetype{files} : 0);
        QCOMPARE(ReaderRun::Leftovers(mount), QStringList());
    }

    // Folders are walked down with a few descriptors, however deep the name.
    void aDeepNameNeedsFewDescriptors() {
        TestTree::WriteFile(Archive(), Build({Stored(DeepName(2047), "deep")}));
        rlimit before{};
        ::getrlimit(RLIMIT_NOFILE, &before);
        rlimit limited = before;
        limited.rlim_cur = std::min<rlim_t>(before.rlim_cur, 1024);
        ::setrlimit(RLIMIT_NOFILE, &limited);
        const QString outcome = Unpack();
        ::setrlimit(RLIMIT_NOFILE, &before);
        const int depth = DepthOfDeepFile(Destination());
        // Too deep for QDir to remove.
        TestTree::Run("rm", {"-rf", Destination()});
        QCOMPARE(outcome, "succeeded");
        QCOMPARE(depth, 2047);
    }

    // The inodes run out half-way down a deep name: the folders made for it go again.
    void aFailedWalkLeavesNoFolders() {
        const QString mount = m_top.filePath("small");
        const SmallDisk disk(mount, "size=4m,nr_inodes=300");
        if (!disk.IsMounted())
            QSKIP("mounting a small file system needs privileges this run does not have");
        TestTree::WriteFile(Archive(), Build({Stored(DeepName(50), "deep")}));
        const QString destination = mount + "/archive";
        CZipArchive zip;
        zip.Open(Archive());
        zip.SetExtractionRoot(destination);
        // Something else takes the inodes meanwhile, all but ten.
        const QString filler = mount + "/filler";
        QDir().mkpath(filler);
        int taken = 0;
        for (;; ++taken) {
            const int fd =
                ::creat(QFile::encodeName(filler + "/" + QString::number(taken)).constData(), 0644);
            if (fd < 0)
                break;
            ::close(fd);
        }
        for (int i = 0; i < 10; ++i)
            QVERIFY(QFile::remove(filler + "/" + QString::number(--taken)));
        QVERIFY(zip.TestFile(0));
        QVERIFY_THROWS_EXCEPTION(CZipException, zip.ExtractFile(0, destination));
        zip.Close();
        QVERIFY(!QFileInfo::exists(destination));
    }

    void whatAKilledRunLeftIsRemoved() {
        TestTree::WriteFile(Archive(), Build({Stored("a.txt", "a")}));
        const QString abandoned = Destination() + "/.tarvo-unzip-Ab12Cd";
        TestTree::WriteFile(abandoned + "/e0", "half");
        // A run still in progress holds its folder locked; that one stays.
        const QString inUse = Destination() + "/.tarvo-unzip-Zz99Yy";
        TestTree::WriteFile(inUse + "/e0", "busy");
        const int lock = ::open(QFile::encodeName(inUse).constData(), O_RDONLY | O_DIRECTORY);
        QCOMPARE(::flock(lock, LOCK_EX | LOCK_NB), 0);
        // Names that only look alike are the user's.
        TestTree::WriteFile(Destination() + "/.tarvo-unzip-mine!/data", "mine");
        QCOMPARE(Unpack(), "succeeded");
        ::close(lock);
        QCOMPARE(TestTree::Snapshot(Destination(), false).keys(),
                 (QStringList{".tarvo-unzip-Zz99Yy", ".tarvo-unzip-Zz99Yy/e0", ".tarvo-unzip-mine!",
                              ".tarvo-unzip-mine!/data", "a.txt"}));
    }

    void aFolderAlreadyThereKeepsItsMode() {
        QDir().mkpath(Destination() + "/a");
        const QByteArray folder = QFile::encodeName(Destination() + "/a");
        ::chmod(folder.constData(), 0751);
        TestTree::WriteFile(Archive(), Build({Directory("a/", 040700), Stored("a/f", "x")}));
        QCOMPARE(Unpack(), "succeeded");
        struct stat info {};
        QCOMPARE(::stat(folder.constData(), &info), 0);
        QCOMPARE(static_cast<int>(info.st_mode & 07777), 0751);
    }

    void theStagingFolderLivesOnlyWhileOpen() {
        TestTree::WriteFile(Archive(), Build({Stored("a.txt", "a"), Stored("b.txt", "b")}));
        {
            CZipArchive zip;
            zip.Open(Archive());
            zip.SetExtractionRoot(Destination());
            QVERIFY(zip.TestFile(0));
            QCOMPARE(ReaderRun::Leftovers(m_top.path()).size(), 1);
            // Destroyed without Close, after a test and before its extraction.
        }
        QVERIFY(!QFileInfo::exists(Destination()));
        CheckNothingAstray();
    }

    // Plain modes and times are compared with unzip's in tst_zipreader_tools; these are the ones
    // it would restore differently, or that no tool writes.
    void metadataIsRestoredSafely_data() {
        QTest::addColumn<Entry>("entry");
        QTest::addColumn<int>("mode");
        QTest::addColumn<qint64>("mtime");
        const int umask = CurrentUmask();
        tm noon{};
        noon.tm_year = 125;
        noon.tm_mday = 1;
        noon.tm_hour = 12;
        noon.tm_isdst = -1;
        const qint64 dos = ::mktime(&noon); // the builder's DOS time, read as local time
        QTest::newRow("setuid dropped") << Item(3, 0104755u << 16) << 0755 << dos;
        QTest::newRow("setgid dropped") << Item(3, 0102755u << 16) << 0755 << dos;
        QTest::newRow("world-writable dropped") << Item(3, 0100666u << 16) << 0664 << dos;
        QTest::newRow("sticky world-writable folder") << Item(3, 041777u << 16) << 0775 << dos;
        QTest::newRow("setgid folder") << Item(3, 042770u << 16) << 0770 << dos;
        QTest::newRow("read-only folder") << Item(3, 040555u << 16) << 0555 << dos;
        QTest::newRow("no Unix mode: under the umask") << Item(3, 0) << (0666 & ~umask) << dos;
        QTest::newRow("FAT file") << Item(0, 0x20) << (0666 & ~umask) << dos;
        QTest::newRow("FAT read-only file") << Item(0, 0x21) << (0444 & ~umask) << dos;
        QTest::newRow("NTFS folder") << Item(11, 0x10) << (0777 & ~umask) << dos;
        QTest::newRow("NTFS with stray upper bits ignored")
            << Item(11, (0104777u << 16) | 0x20) << (0666 & ~umask) << dos;
        const QByteArray stamp = ZipBytes::ExtendedTimestamp(1234567890);
        QTest::newRow("extended timestamp on a folder")
            << Item(3, 040755u << 16, stamp) << 0755 << qint64{1234567890};
        QTest::newRow("a time only in the central directory is not used")
            << Item(3, 0100644u << 16, {}, stamp) << 0644 << dos;
    }
    void metadataIsRestoredSafely() {
        QFETCH(Entry, entry);
        QFETCH(int, mode);
        QFETCH(qint64, mtime);
        const bool folder = entry.name.endsWith('/');
        // A file below the folder shows it still took entries before its mode and time were set.
        TestTree::WriteFile(Archive(),
                            folder ? Build({entry, Stored("item/inside", "x")}) : Build({entry}));
        QCOMPARE(Unpack(), "succeeded");
        const QByteArray item = QFile::encodeName(Destination() + "/item");
        struct stat info {};
        QCOMPARE(::lstat(item.constData(), &info), 0);
        ::chmod(item.constData(), 0755);
        QCOMPARE(S_ISDIR(info.st_mode), folder);
        QCOMPARE(static_cast<int>(info.st_mode & 07777), mode);
        QCOMPARE(static_cast<qint64>(info.st_mtime), mtime);
    }

    void entryCountsPast16Bits_data() {
        QTest::addColumn<int>("count");
        QTest::newRow("exactly 65,535 entries, without ZIP64") << 65535;
        QTest::newRow("70,000 entries, with the ZIP64 end records") << 70000;
    }
    void entryCountsPast16Bits() {
        QFETCH(int, count);
        if (count > 65535) {
            // Folders of 1,000 files, every tenth with content, and the ZIP64 end records the
            // count needs, as Python writes them.
            QCOMPARE(TestTree::RunPython(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w') as archive:
    for i in range(int(sys.argv[2])):
        archive.writestr('d%02d/f%05d' % (i // 1000, i), b'x' * (i % 10 == 0))
)",
                                         {Archive(), QString::number(count)}),
                     0);
        } else {
            QList<Entry> entries;
            for (int i = 0; i < count; ++i)
                entries << Stored("f" + QByteArray::number(i), {});
            TestTree::WriteFile(Archive(), Build(entries));
        }
        QCOMPARE(Unpack(), "succeeded");
        const auto tree = TestTree::Snapshot(Destination(), false);
        QCOMPARE(std::count_if(tree.begin(), tree.end(), [](auto& item) { return item[0] == 'f'; }),
                 qsizetype{count});
        CheckNothingAstray();
    }
};

QTEST_GUILESS_MAIN(TestZipReaderHostile)
#include "tst_zipreader_hostile.moc"
