// The reader, through the unzip worker. Archives built to escape the destination, to overwrite
// what appears in it meanwhile, to expand without end, or simply damaged; a disk that fills up and
// a run killed half-way. (Entry counts past 16 bits are read back in tst_workers.) Each ends in a
// clear outcome and cause, and for every row the same checks run: nothing is written outside the
// destination, nothing already there is lost, nothing half-written or of the reader's own is left
// behind.
//
// Then archives written by the tools people use, and the public corpus written by many more (some
// of them damaged), unpacked by the reader and by Info-ZIP's unzip side by side: the same tree,
// content, modes and modification times; where unzip fails, the reader fails cleanly. The methods
// unzip does not read (LZMA, XZ and Zstandard) go through the real unzip worker: each comes out
// byte for byte; damaged data, or more data than the entry declares, fails with its cause and puts
// nothing of the entry in place; methods nothing here reads are named in the cause.

#include "support/ReaderRun.h"
#include "support/TestTree.h"
#include "support/ZipBytes.h"
#include "ziparchive/CZipArchive.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <memory>

using ZipBytes::Build;
using ZipBytes::Directory;
using ZipBytes::Entry;
using ZipBytes::Link;
using ZipBytes::Options;
using ZipBytes::Stored;

Q_DECLARE_METATYPE(ZipBytes::Entry)

namespace {

// The entry or the options with one field set, e.g. With(Stored("a", "x"), &Entry::size, 10).
template <typename Object, typename Field, typename Value>
Object With(Object object, Field Object::*field, Value value) {
    object.*field = static_cast<Field>(value);
    return object;
}

Entry CrcFlipped(const Entry& entry) {
    return With(entry, &Entry::crc, entry.crc ^ 0x00100000);
}

// The same entry as a DOS or Windows archiver writes it on FAT (host 0), NTFS (10) or VFAT (14):
// there '\\' can only be a separator, and a name without the UTF-8 flag is in CP437.
Entry MadeOnDos(Entry entry, int host = 0) {
    entry.versionMadeBy = static_cast<std::uint16_t>((host << 8) | 20);
    entry.externalAttributes = entry.name.endsWith('\\') ? 0x10 : 0x20;
    return entry;
}

// Items of a tree as the tables write them (see TestTree::Make); " -> target" makes root itself
// a link.
void Make(const QString& root, const QStringList& items) {
    for (const QString& item : items) {
        if (item.startsWith(" -> "))
            QFile::link(item.mid(4), root);
        else
            TestTree::Make(root, item);
    }
}

// A tree as a snapshot shows it, links by their stored targets.
QMap<QString, QString> Tree(const QString& root) {
    return TestTree::Snapshot(root, {.modeMask = 0, .storedLinkTargets = true});
}

// The snapshot of a tree made of those items.
QMap<QString, QString> Tree(const QStringList& items) {
    const QTemporaryDir reference;
    Make(reference.path(), items);
    return Tree(reference.path());
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

// A small tmpfs mounted at `path` for as long as the result lives; null when this run may not
// mount.
std::shared_ptr<const char> SmallDisk(const QString& path, const char* options) {
    QDir().mkpath(path);
    const QByteArray mount = QFile::encodeName(path);
    if (::mount("tarvo-test", mount.constData(), "tmpfs", 0, options) != 0)
        return nullptr;
    return {"mounted", [mount](const char*) { ::umount2(mount.constData(), MNT_DETACH); }};
}

#define REQUIRE_MOUNTED(disk)                                                                      \
    if (!(disk))                                                                                   \
    QSKIP("mounting a small file system needs privileges this run does not have")

// A name `depth` folders deep, with the file "f" at the bottom.
QByteArray DeepName(int depth) {
    return QByteArray("d/").repeated(depth) + "f";
}

// Runs `work` with the soft limit `resource` lowered to `limit` (0: as it is).
template <typename Work> auto WithLimit(int resource, rlim_t limit, Work work) {
    rlimit before{};
    ::getrlimit(resource, &before);
    rlimit limited = before;
    limited.rlim_cur = limit ? std::min(limit, before.rlim_cur) : before.rlim_cur;
    ::setrlimit(resource, &limited);
    const auto result = work();
    ::setrlimit(resource, &before);
    return result;
}

// Packs the current folder into sys.argv[1] with Python's zipfile, with the method sys.argv[2]
// and ZIP64 fields forced when sys.argv[3] is 1.
const char kPythonPacker[] = R"(
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', getattr(zipfile, sys.argv[2])) as archive:
    for folder, folders, files in os.walk('.'):
        for name in folders + files:
            path = os.path.relpath(os.path.join(folder, name))
            info = zipfile.ZipInfo.from_file(path)
            info.compress_type = archive.compression
            if info.is_dir():
                archive.write(path)
            elif not os.path.islink(path):
                with open(path, 'rb') as source, archive.open(info, 'w', force_zip64=sys.argv[3] == '1') as target:
                    target.write(source.read())
)";

// Whether a link in the tree resolves, from its own folder, to a path outside the tree.
bool HasLinkOutside(const QMap<QString, QString>& tree) {
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        const QString target = it.value().mid(2);
        const QString resolved = QDir::cleanPath(QFileInfo(it.key()).path() + "/" + target);
        if (it.value().startsWith("l ") &&
            (QDir::isAbsolutePath(target) || resolved.startsWith("../") || resolved == ".."))
            return true;
    }
    return false;
}

constexpr int kLzma = 14, kXz = 95, kZstandard = 93;

// The command-line tool that compresses a piece of data with each method.
const QMap<int, QString> kTools{
    {kLzma, "xz --format=lzma -c"}, {kXz, "xz -c"}, {kZstandard, "zstd -q -c"}};

// The entry the failure rows break, the first: several of the reader's output buffers long.
const QString kBig = QStringLiteral("big.txt");

// The files every archive holds, by path below the tree.
const QMap<QString, QByteArray> kFiles{{kBig, TestTree::TextBytes(1536 * 1024 + 17, 1)},
                                       {"random.bin", TestTree::RandomBytes(100 * 1000, 2)},
                                       {"sub/small.txt", "a few words\n"},
                                       {"sub/empty", ""}};

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// `content` compressed by the method's tool as an entry's body; a method without a tool gets
// `content` as it is. An LZMA entry keeps the properties and stream of the .lzma file and drops
// its size, behind the zip form's own four bytes (version 9.20, five bytes of properties).
QByteArray Compressed(int method, const QByteArray& content, const QString& work) {
    if (!kTools.contains(method))
        return content;
    const QString input = work + QStringLiteral("/piece");
    TestTree::WriteFile(input, content);
    QString output;
    if (TestTree::Run("bash", {"-c", kTools[method] + " \"$0\" > \"$0.out\"", input}, {},
                      &output) != 0)
        qWarning("%s: %s", qPrintable(kTools[method]), qPrintable(output));
    const QByteArray body = ReadAll(input + ".out");
    return method == kLzma ? QByteArray("\x09\x14\x05\x00", 4) + body.left(5) + body.mid(13) : body;
}

// Unpacking `archive` fails: the cause names the big entry, which is nowhere in the destination,
// and no staging folder is left.
void CheckRefused(const QString& archive, const QStringList& causes) {
    const ReaderRun::Result result = ReaderRun::Run(archive);
    QCOMPARE(result.outcome, "corrupted");
    QVERIFY2(result.cause.contains("(" + kBig + ")"), qPrintable(result.cause));
    QVERIFY2(std::any_of(causes.begin(), causes.end(),
                         [&](const QString& cause) { return result.cause.contains(cause); }),
             qPrintable(result.cause));
    QVERIFY(!QFileInfo::exists(archive.chopped(4) + '/' + kBig));
    QCOMPARE(ReaderRun::Leftovers(QFileInfo(archive).path()), QStringList());
}

// How a row's archive is made: by `command` in the tree, the archive its $0 and kPythonPacker its
// $1; or each file compressed by the method's tool in that many pieces one after another
// (several XZ streams, several Zstandard frames) and wrapped into an archive here, the big
// entry's stream broken by `breakBody` in a way its decoder must notice on its own.
struct Made {
    int method;
    QString command = {};
    int pieces = 1;
    std::function<QByteArray(QByteArray)> breakBody = {};
    QString cause = {}; // what follows "entry 1 (big.txt)"; empty: the archive unpacks
};

} // namespace

Q_DECLARE_METATYPE(Made)

class TestZipReader : public QObject {
    Q_OBJECT

    // Holds box/archive.zip, unpacked into box/archive, and outside/kept; beside them expected,
    // what unzip unpacks or the tree an archive is made of. Anything escaping the destination
    // lands in box, beside outside or in it, where the checks look for it.
    QTemporaryDir m_top;
    QTemporaryDir m_source; // the tree the tools' archives are made of
    QString Box() const { return m_top.filePath("box"); }
    QString Archive() const { return Box() + "/archive.zip"; }
    QString Destination() const { return Box() + "/archive"; }
    QString Outside() const { return m_top.filePath("outside"); }

    void CheckNothingAstray() const {
        QCOMPARE(TestTree::Strays(m_top.path(), {"box", "outside", "expected"}), QStringList());
        QCOMPARE(TestTree::Strays(Box(), {"archive.zip", "archive"}), QStringList());
        QCOMPARE(Tree(Outside()), Tree(QStringList{"kept=kept"}));
        QCOMPARE(ReaderRun::Leftovers(m_top.path()), QStringList());
    }

    // Rows: the archive; its outcome, with a part of the cause after ": "; what the destination
    // holds afterwards and what appeared in it once the worker had chosen it; the workers that
    // decode (0: one per core); the most a file may grow to (0: no limit); the mount options of
    // a small file system the box lies on (empty: none).
    static void Row(const QString& name, const QByteArray& archive, const QString& outcome,
                    const QStringList& expected = {}, const QStringList& existing = {},
                    unsigned threads = 0, qint64 fileSizeLimit = 0, const QByteArray& disk = {}) {
        QTest::newRow(qPrintable(name))
            << archive << existing << outcome << expected << threads << fileSizeLimit << disk;
    }
    static void Row(const QString& name, const QList<Entry>& entries, const QString& outcome,
                    const QStringList& expected = {}, const QStringList& existing = {}) {
        Row(name, Build(entries), outcome, expected, existing);
    }

    void UnsafeNames() {
        const std::tuple<const char*, QByteArray, const char*> names[] = {
            {"absolute", QFile::encodeName(m_top.path()) + "/escaped", "absolute"},
            {"absolute with a backslash", "\\escaped", "absolute"},
            {"climbing", "../escaped", "climbs out"},
            {"climbing after descending", "a/b/../../../escaped", "climbs out"},
            {"climbing after descending, backslashes", "a\\b\\..\\..\\..\\escaped", "climbs out"},
            {"drive letter and backslash", "C:\\escaped", "drive letter"},
            {"empty", "", "is empty"},
            {"dot", ".", "leads nowhere"},
            {"NUL inside", QByteArray("esc\0aped", 8), "NUL"},
            {"NUL hiding a climb", QByteArray("ok\0/../../escaped", 17), "climbs out"},
            {"component longer than a file name may be", QByteArray(300, 'x'), "too long"},
            {"the staging folder's name", ".tarvo-unzip-Ab12Cd/escaped", "staging folder"},
        };
        for (const auto& [row, name, cause] : names)
            Row(QString("unsafe name: ") + row,
                {Stored("first.txt", "first"), Stored(name, "escaped"), Stored("last.txt", "last")},
                QString("corrupted: ") + cause, {"first.txt=first"});
        const auto one = [](const QByteArray& name) { return QList{Stored(name, "c")}; };
        Row("down and back up", one("a/../b.txt"), "succeeded", {"b.txt=c"});
        Row("a backslash separates in a DOS-made name", {MadeOnDos(Stored("a\\b.txt", "c"))},
            "succeeded", {"a/", "a/b.txt=c"});
        Row("a backslash is a character in a Unix-made name", one("a\\b.txt"), "succeeded",
            {"a\\b.txt=c"});
        for (const int host : {0, 10, 14}) // the bytes of "\u00d1and\u00fa/\u00fc.txt" in CP437
            Row(QString("a CP437 name made on host %1").arg(host),
                {MadeOnDos(Stored("\245and\243/\201.txt", "c"), host)}, "succeeded",
                {QStringLiteral("\u00d1and\u00fa/"),
                 QStringLiteral("\u00d1and\u00fa/\u00fc.txt=c")});
        Row("leading dot", one("./c.txt"), "succeeded", {"c.txt=c"});
        Row("doubled separator", one("d//e.txt"), "succeeded", {"d/", "d/e.txt=c"});
        Row("a name merely starting like a drive", one("1:x.txt"), "succeeded", {"1:x.txt=c"});
        Row("dots inside a name", one("..hidden..txt"), "succeeded", {"..hidden..txt=c"});
        for (const char* folder : {"./", ".\\", "a/../"})
            Row(QString("a folder entry naming the destination: ") + folder,
                {MadeOnDos(Directory(folder)), Stored("f", "x")}, "succeeded", {"f=x"});
    }

    // A link already in the destination is not followed either.
    void Links() {
        const QString outside = Outside();
        Row("an absolute link", {Link("abs", QFile::encodeName(outside))}, "corrupted: points out");
        Row("a link climbing after a name, which may itself be a link",
            {Link("inner", "."), Link("l", "inner/../..")}, "corrupted: points out",
            {"inner -> ."});
        Row("a link deep down climbing one level too many", {Link("a/b/l", "../../../outside")},
            "corrupted: points out");
        Row("the destination itself made a link meanwhile", {Stored("planted", "x")},
            "failed: cannot open the destination", {"kept=kept"},
            {" -> " + outside}); // the snapshot shows what it points to
        Row("a link with a drive letter", {Link("l", "C:\\outside")}, "corrupted: points out");
        Row("an empty link", {Link("l", "")}, "corrupted: points out");
        Row("a link inside, then a file written through it",
            {Directory("sub/"), Link("l", "sub"), Stored("l/planted", "x")},
            "corrupted: in the way", {"sub/", "l -> sub"});
        Row("a link climbing within the destination",
            {Link("a/b/l", "../../top.txt"), Stored("top.txt", "t")}, "succeeded",
            {"a/", "a/b/", "a/b/l -> ../../top.txt", "top.txt=t"});
        Row("a link to a sibling", {Stored("t.txt", "t"), Link("l", "t.txt")}, "succeeded",
            {"t.txt=t", "l -> t.txt"});
        const QStringList link{"link -> " + outside};
        Row("a file below a link already there", {Stored("link/planted", "x")},
            "corrupted: in the way", link, link);
        Row("a folder entry over a link already there", {Directory("link/", 040700)},
            "corrupted: in the way", link, link);
        Row("a file entry keeps a link already there and what it points to",
            {Stored("link", "replaced", 0100600)}, "corrupted: in the way", link, link);
    }

    // What stands in the destination already is never replaced.
    static void Conflicts() {
        const QStringList old{"a=old"};
        Row("the same name twice", {Stored("a", "first"), Stored("a", "second")},
            "corrupted: same name", {"a=first"});
        Row("the same name, once with a backslash",
            {Stored("d/a", "first"), MadeOnDos(Stored("d\\a", "second"))}, "corrupted: same name",
            {"d/", "d/a=first"});
        Row("a file, then a folder of that name", {Stored("a", "first"), Directory("a/")},
            "corrupted: file of the same name", {"a=first"});
        Row("a folder, then a file of that name", {Directory("a/"), Stored("a", "second")},
            "corrupted: same name", {"a/"});
        Row("the same folder twice is fine", {Directory("a/"), Stored("a/f", "x"), Directory("a/")},
            "succeeded", {"a/", "a/f=x"});
        Row("a file is kept when a sound entry names it", {Stored("a", "new")},
            "corrupted: file is in the way", old, old);
        Row("a file is kept when the entry is corrupt", {CrcFlipped(Stored("a", "new"))},
            "corrupted: CRC", old, old);
        Row("a folder is kept when the entry is a file", {Stored("a", "new")},
            "corrupted: folder is in the way", {"a/", "a/inside=inside"}, {"a/inside=inside"});
        Row("a file is kept when the entry is a folder", {Directory("a/")},
            "corrupted: file is in the way", old, old);
        Row("a file is kept when a file should go below it", {Stored("a/b", "new")},
            "corrupted: file is in the way", old, old);
        Row("a file is kept when a link entry names it", {Link("a", "elsewhere")},
            "corrupted: file is in the way", old, old);
    }

    // The directory parse and libzip must read one and the same archive, or what is checked is
    // not what is extracted, and other tools show other files.
    static void OneReading() {
        const QByteArray readme = TestTree::TextBytes(60, 1);
        // A script of the same size and CRC as readme.txt, under a name as long.
        const QByteArray script = ZipBytes::WithCrc(
            QByteArray("#!/bin/sh\necho planted\n").leftJustified(readme.size() - 4, '#'),
            ZipBytes::Crc32(readme));
        Options appended = With(Options{}, &Options::prefixCounted, true);
        appended.prefix = Build({Stored("install.sh", script, 0100755)});
        Row("two end records, the first one's entry with a forged CRC",
            Build({Stored("readme.txt", readme)}, appended), "failed: second directory");
        // The ZIP64 end record points to one directory, the plain one to another.
        const QByteArray first = appended.prefix;
        appended.prefix.chop(22);
        appended.zip64EndRecords = true;
        QByteArray twoDirectories = Build({Stored("readme.txt", readme)}, appended);
        twoDirectories.replace(twoDirectories.size() - 14, 12, first.right(14).left(12));
        Row("ZIP64 and plain end records pointing to different directories", twoDirectories,
            "failed: different directories");
        const auto unicode = [](const QByteArray& name, const QByteArray& field) {
            return QList{With(Stored(name, "c"), &Entry::centralExtra, field)};
        };
        Row("a Unicode path field naming another file",
            unicode("readme.txt", ZipBytes::UnicodePath("readme.txt", "install.sh")),
            "failed: reads differently");
        Row("a stale Unicode path field naming another file",
            unicode("readme.txt", ZipBytes::UnicodePath("readme.txt", "install.sh", true)),
            "failed: reads differently");
        Row("a Unicode path field giving a CP437 name in UTF-8",
            unicode("caf\x82.txt", ZipBytes::UnicodePath("caf\x82.txt", "caf\xc3\xa9.txt")),
            "succeeded", {QString::fromUtf8("caf\xc3\xa9.txt=c")});
        Row("a Unicode path field giving a Shift JIS name in UTF-8",
            unicode("\x95\x5c.txt", ZipBytes::UnicodePath("\x95\x5c.txt", "\xe8\xa1\xa8.txt")),
            "succeeded", {QString::fromUtf8("\xe8\xa1\xa8.txt=c")});
        // An archive stored in the last entry brings its own end record, which is content. Its
        // bytes all ASCII, as the table holds contents as text.
        QByteArray inner;
        for (int i = 0; inner.isEmpty() ||
                        std::any_of(inner.begin(), inner.end(), [](char c) { return c < 0; });
             ++i)
            inner = Build({MadeOnDos(Stored("inner.txt", "inner " + QByteArray::number(i)))});
        Row("an archive stored in the last entry",
            {Stored("first.txt", "first"), Stored("inner.zip", inner)}, "succeeded",
            {"first.txt=first", "inner.zip=" + QString::fromLatin1(inner)});
    }

    // Bombs are refused before anything is written; each byte range is counted once per entry
    // that claims it. (An entry that decodes to more than it declares is in tst_bzip2, one that
    // declares more than the disk holds in tst_causes.)
    static void Bombs() {
        const QByteArray body = TestTree::TextBytes(4000, 1);
        QList<Entry> many{ZipBytes::Bzip2("0", QByteArray(1 << 20, 'z'))};
        for (int i = 1; i < 200; ++i)
            many << With(With(many.front(), &Entry::name, QByteArray::number(i)),
                         &Entry::sharesLocalHeaderOf, 0);
        Row("many entries sharing one high-ratio body", many, "failed: overlap");
        const auto claiming = [&](qsizetype bytes) {
            return With(Stored("a", body), &Entry::compressedSizeOverride, bytes);
        };
        Row("an entry quoting the next one's header",
            {claiming(body.size() + 30 + 1 + body.size()), Stored("b", body)}, "failed: overlap");
        Row("an entry running into the central directory", {claiming(body.size() + 10)},
            "failed: overlap");
        Row("more entries declared than the directory holds",
            Build({Stored("a", "x")}, With(Options{}, &Options::declaredCount, 60000)),
            "failed: more entries");
        Row("a trillion entries declared in the ZIP64 record",
            Build({Stored("a", "x")}, With(With(Options{}, &Options::declaredCount, 1ull << 40),
                                           &Options::zip64EndRecords, true)),
            "failed: more entries");
    }

    // The room is counted as the file system allocates it: whole blocks per file and folder,
    // and an inode each. What does not fit is refused before anything is written.
    static void Room() {
        QList<Entry> entries;
        QStringList first1000;
        for (int i = 0; i < 6000; ++i) {
            const QString name = QString("%1/f%2").arg(i / 100).arg(i);
            entries << Stored(name.toUtf8(), "x");
            if (i < 1000)
                first1000 << name + "=x";
        }
        Row("6,000 one-byte files on 20 MiB", Build(entries), "failed: does not fit", {}, {}, 0, 0,
            "size=20m");
        Row("more files than free inodes", Build(entries.first(1000)), "failed: more files", {}, {},
            0, 0, "size=20m,nr_inodes=600");
        Row("1,000 one-byte files in folders, with room", Build(entries.first(1000)), "succeeded",
            first1000, {}, 0, 0, "size=20m,nr_inodes=1200");
    }

    static void Damage() {
        const QByteArray text = TestTree::TextBytes(20000, 7);
        const Entry first = Stored("first.txt", "first");
        const Entry deflated = ZipBytes::Deflated("second.txt", text);
        const Entry stored = Stored("second.txt", text);
        const QByteArray whole = Build({first, deflated});
        const QStringList one{"first.txt=first"};
        const QStringList both = one + QStringList{"second.txt=" + QString::fromLatin1(text)};
        Row("cut in half", whole.left(whole.size() / 2), "failed: not a zip");
        Row("cut inside the end record", whole.left(whole.size() - 5), "failed: not a zip");
        Row("empty file", QByteArray(), "failed: not a zip");
        Row("junk before, offsets not adjusted",
            Build({first, deflated},
                  With(Options{}, &Options::prefix, TestTree::TextBytes(1000, 4))),
            "succeeded", both);
        Row("junk after",
            Build({first, deflated}, With(Options{}, &Options::suffix,
                                          TestTree::TextBytes(1000, 5) + "PK\5\6 stray signature")),
            "succeeded", both);
        const Entry x = Stored("second.txt", "x");
        Row("an offset past the end",
            {first, With(x, &Entry::localHeaderOffsetOverride, 0x7fff0000)},
            "corrupted: local header", one);
        Row("an offset into another entry's header",
            {first, With(x, &Entry::localHeaderOffsetOverride, 5)}, "failed: overlap");
        Row("CRC mismatch, deflated", {first, CrcFlipped(deflated)}, "corrupted: CRC", one);
        Row("body longer than declared, stored", {first, With(stored, &Entry::size, 100)},
            "corrupted: more data", one);
        Row("body longer than declared, deflated", {first, With(deflated, &Entry::size, 100)},
            "corrupted: more data", one);
        Row("body shorter than declared, deflated", {first, With(deflated, &Entry::size, 30000)},
            "corrupted: less data", one);
        Row("damaged deflate stream",
            {first, With(deflated, &Entry::body, QByteArray(deflated.body).fill('\xff', 64))},
            "corrupted: deflated data is damaged", one);
        const Entry empty = ZipBytes::Bzip2("second.txt", {});
        Row("bzip2 stream of nothing", {first, empty}, "succeeded",
            one + QStringList{"second.txt="});
        Row("bzip2 entry without any stream", {first, With(empty, &Entry::body, QByteArray())},
            "corrupted: ends early", one);
        Row("4 GiB - 1 declared without a ZIP64 field", {first, With(x, &Entry::size, 0xffffffff)},
            "failed: ZIP64 field");
        Row("an encrypted entry, and no password",
            {first, With(Stored("secret.txt", text), &Entry::flags, 1)}, "failed: encrypted");
        // Files may grow to 1 MiB only: writes past that fail, as on a full disk.
        Row("a failed write",
            Build({first, ZipBytes::Bzip2("big.bin", TestTree::TextBytes(3 << 20, 2))}),
            "failed: cannot write entry 2", {"big.bin=kept", "first.txt=first"}, {"big.bin=kept"},
            0, 1 << 20);
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
        entries[250] = CrcFlipped(entries[250]);
        for (const unsigned threads : {1u, 0u})
            Row(QString("the 251st of 400 entries broken, ") +
                    (threads ? "one worker" : "one per core"),
                Build(entries), "corrupted: entry 251 (f250)", before, {}, threads);
    }

    // Unpacks the archive with unzip and with the reader on `threads` (0: one per core). Where
    // unzip takes every entry (exit code 0, or 1 for warnings only) the trees are the same;
    // otherwise the reader fails, having put out only what unzip did. Either way it leaves no
    // staging folder nor anything beside the destination. Unzip takes what a tool wrote whole;
    // of the corpus, `corpusName` names the archive.
    void CompareWithUnzip(const QString& corpusName, unsigned threads = 0) {
        const int unzipCode =
            TestTree::Run("unzip", {"-qo", Archive(), "-d", m_top.filePath("expected")});
        if (corpusName.isEmpty())
            QCOMPARE(unzipCode, 0);
        // An archive holding a second directory is refused although unzip takes the last one:
        // readers that scan forward take the other, and show other files.
        const bool twoDirectories = corpusName == "comment-truncated.zip";
        const QString outcome = ReaderRun::Unpack(Archive(), Destination(), threads);
        const auto ours = ReaderRun::Tree(Destination());
        const auto theirs = ReaderRun::Tree(m_top.filePath("expected"));
        if (unzipCode <= 1 && !twoDirectories && !HasLinkOutside(theirs)) {
            QCOMPARE(outcome, "succeeded");
            QVERIFY(!ours.isEmpty());
            for (auto it = theirs.begin(); it != theirs.end(); ++it)
                QCOMPARE(ours.value(it.key(), "missing"), it.value());
            QCOMPARE(ours.keys(), theirs.keys());
        } else {
            QVERIFY2(outcome != "succeeded", qPrintable(QString("unzip said %1").arg(unzipCode)));
            QVERIFY(!HasLinkOutside(ours));
            for (auto it = ours.begin(); it != ours.end(); ++it)
                QCOMPARE(it.value(), theirs.value(it.key(), "missing"));
        }
        CheckNothingAstray();
    }

private slots:
    void init() {
        QDir(m_top.path()).removeRecursively();
        QDir().mkpath(Box());
        TestTree::WriteFile(Outside() + "/kept", "kept");
    }

    void hostileAndDamagedArchives_data() {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<unsigned>("threads");
        QTest::addColumn<qint64>("fileSizeLimit");
        QTest::addColumn<QByteArray>("disk");
        UnsafeNames();
        Links();
        Conflicts();
        OneReading();
        Bombs();
        Room();
        Damage();
    }
    void hostileAndDamagedArchives() {
        QFETCH(QByteArray, archive);
        QFETCH(QStringList, existing);
        QFETCH(QString, outcome);
        QFETCH(QStringList, expected);
        QFETCH(unsigned, threads);
        QFETCH(qint64, fileSizeLimit);
        QFETCH(QByteArray, disk);
        const auto mounted = disk.isEmpty() ? nullptr : SmallDisk(Box(), disk.constData());
        if (!disk.isEmpty())
            REQUIRE_MOUNTED(mounted);
        TestTree::WriteFile(Archive(), archive);
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        const ReaderRun::Result result = WithLimit(RLIMIT_FSIZE, rlim_t(fileSizeLimit), [&] {
            return ReaderRun::Run(Archive(), threads, [&] { Make(Destination(), existing); });
        });
        std::signal(SIGXFSZ, previousHandler);
        QCOMPARE(result.outcome, outcome.section(": ", 0, 0));
        QVERIFY2(result.cause.contains(outcome.section(": ", 1)) &&
                     result.cause.isEmpty() == (result.outcome == "succeeded"),
                 qPrintable(result.cause));
        if (existing.isEmpty() && expected.isEmpty())
            QVERIFY(!QFileInfo::exists(Destination()));
        else if (existing.isEmpty()) // no entry may change the destination's own mode
            QVERIFY(QFileInfo(Destination()).permissions() & QFileDevice::ExeOther);
        QCOMPARE(Tree(Destination()), Tree(expected));
        CheckNothingAstray();
    }

    // Folders are walked down with a few descriptors, however deep the name.
    void aDeepNameNeedsFewDescriptors() {
        TestTree::WriteFile(Archive(), Build({Stored(DeepName(2047), "deep")}));
        const QString outcome =
            WithLimit(RLIMIT_NOFILE, 1024, [&] { return ReaderRun::Run(Archive()).outcome; });
        // Too deep for QDir: find walks it with descriptors too, and rm removes it.
        QString depth;
        TestTree::Run("find", {".", "-name", "f", "-type", "f", "-printf", "%d"}, Destination(),
                      &depth);
        TestTree::Run("rm", {"-rf", Destination()});
        QCOMPARE(outcome, "succeeded");
        QCOMPARE(depth, "2048");
    }

    // The inodes run out half-way down a deep name: the folders made for it go again.
    void aFailedWalkLeavesNoFolders() {
        const QString mount = m_top.filePath("small");
        const auto disk = SmallDisk(mount, "size=4m,nr_inodes=300");
        REQUIRE_MOUNTED(disk);
        TestTree::WriteFile(Archive(), Build({Stored(DeepName(50), "deep")}));
        const QString destination = mount + "/archive";
        CZipArchive zip;
        zip.Open(Archive());
        zip.SetExtractionRoot(destination);
        // Something else takes the inodes meanwhile, all but ten.
        const QString filler = mount + "/filler";
        QDir().mkpath(filler);
        int taken = 0;
        for (int fd;
             (fd = ::creat(QFile::encodeName(filler + "/" + QString::number(taken)), 0644)) >= 0;
             ++taken)
            ::close(fd);
        for (int i = 0; i < 10; ++i)
            QVERIFY(QFile::remove(filler + "/" + QString::number(--taken)));
        QVERIFY(zip.TestFile(0));
        QVERIFY_THROWS_EXCEPTION(CZipException, zip.ExtractFile(0, destination));
        zip.Close();
        QVERIFY(!QFileInfo::exists(destination));
    }

    void whatAKilledRunLeftIsRemoved() {
        TestTree::WriteFile(Archive(), Build({Stored("a.txt", "a")}));
        TestTree::WriteFile(Destination() + "/.tarvo-unzip-Ab12Cd/e0", "half");
        // A run still in progress holds its folder locked; that one stays.
        const QString inUse = Destination() + "/.tarvo-unzip-Zz99Yy";
        TestTree::WriteFile(inUse + "/e0", "busy");
        const int lock = ::open(QFile::encodeName(inUse).constData(), O_RDONLY | O_DIRECTORY);
        QCOMPARE(::flock(lock, LOCK_EX | LOCK_NB), 0);
        // Names that only look alike are the user's.
        TestTree::WriteFile(Destination() + "/.tarvo-unzip-mine!/data", "mine");
        QCOMPARE(ReaderRun::Unpack(Archive(), Destination()), "succeeded");
        ::close(lock);
        QCOMPARE(TestTree::Snapshot(Destination(), false).keys(),
                 (QStringList{".tarvo-unzip-Zz99Yy", ".tarvo-unzip-Zz99Yy/e0", ".tarvo-unzip-mine!",
                              ".tarvo-unzip-mine!/data", "a.txt"}));
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

    // Plain modes and times are compared with unzip's by sameAsUnzip; these are the ones it
    // would restore differently, or that no tool writes. A folder already there keeps its own.
    void metadataIsRestoredSafely_data() {
        QTest::addColumn<Entry>("entry");
        QTest::addColumn<int>("mode");
        QTest::addColumn<qint64>("mtime");
        QTest::addColumn<int>("existingMode"); // of a folder already there; 0: none
        const mode_t umask = ::umask(022);
        ::umask(umask);
        // The builder's DOS time, read as local time.
        const qint64 dos = QDateTime(QDate(2025, 1, 1), QTime(12, 0)).toSecsSinceEpoch();
        const auto row = [&](const char* name, const Entry& entry, int mode, qint64 mtime = -1,
                             int existing = 0) {
            QTest::newRow(name) << entry << mode << (mtime < 0 ? dos : mtime) << existing;
        };
        row("setuid dropped", Item(3, 0104755u << 16), 0755);
        row("sticky world-writable folder", Item(3, 041777u << 16), 0775);
        row("setgid folder", Item(3, 042770u << 16), 0770);
        row("read-only folder", Item(3, 040555u << 16), 0555);
        row("no Unix mode: under the umask", Item(3, 0), 0666 & ~umask);
        row("FAT read-only file", Item(0, 0x21), 0444 & ~umask);
        row("NTFS folder", Item(11, 0x10), 0777 & ~umask);
        row("NTFS with stray upper bits ignored", Item(11, (0104777u << 16) | 0x20), 0666 & ~umask);
        const QByteArray stamp = ZipBytes::ExtendedTimestamp(1234567890);
        row("extended timestamp on a folder", Item(3, 040755u << 16, stamp), 0755, 1234567890);
        row("a time only in the central directory is not used", Item(3, 0100644u << 16, {}, stamp),
            0644);
        row("a folder already there keeps its mode", Item(3, 040700u << 16), 0751, -1, 0751);
    }
    void metadataIsRestoredSafely() {
        QFETCH(Entry, entry);
        QFETCH(int, mode);
        QFETCH(qint64, mtime);
        QFETCH(int, existingMode);
        const bool folder = entry.name.endsWith('/');
        const QByteArray item = QFile::encodeName(Destination() + "/item");
        if (existingMode) {
            QDir().mkpath(Destination() + "/item");
            ::chmod(item.constData(), existingMode);
        }
        // A file below the folder shows it still took entries before its mode and time were set.
        TestTree::WriteFile(Archive(),
                            folder ? Build({entry, Stored("item/inside", "x")}) : Build({entry}));
        QCOMPARE(ReaderRun::Unpack(Archive(), Destination()), "succeeded");
        struct stat info {};
        QCOMPARE(::lstat(item.constData(), &info), 0);
        ::chmod(item.constData(), 0755);
        QCOMPARE(S_ISDIR(info.st_mode), folder);
        QCOMPARE(static_cast<int>(info.st_mode & 07777), mode);
        if (!existingMode)
            QCOMPARE(static_cast<qint64>(info.st_mtime), mtime);
    }

    void initTestCase() {
        const QString root = m_source.path();
        TestTree::WriteFile(root + "/docs/readme.txt", TestTree::TextBytes(20000, 1), 0644);
        TestTree::WriteFile(root + "/docs/notes/long.txt", TestTree::TextBytes(400000, 2), 0644);
        TestTree::WriteFile(root + "/docs/notes/second.txt", TestTree::TextBytes(1200, 3), 0640);
        TestTree::WriteFile(root + "/bin/run.sh", "#!/bin/sh\necho hello\n", 0755);
        TestTree::WriteFile(root + "/data/random.bin", TestTree::RandomBytes(150000, 4), 0644);
        TestTree::WriteFile(root + "/data/empty.txt", {}, 0644);
        TestTree::WriteFile(root + "/readonly.txt", "read only\n", 0444);
        TestTree::WriteFile(root + QString::fromUtf8("/\u00fcmlaut-\u540d\u524d.txt"), "utf-8\n",
                            0644);
        QDir().mkpath(root + "/empty-folder");
        QFile::link("docs/readme.txt", root + "/link-to-readme");
        // Times apart from now and from each other, on two-second steps as DOS times keep.
        qint64 time = 1600000000;
        for (const QString& path : ReaderRun::Tree(root).keys()) {
            const timespec times[2] = {{time, 0}, {time, 0}};
            ::utimensat(AT_FDCWD, QFile::encodeName(root + "/" + path).constData(), times,
                        AT_SYMLINK_NOFOLLOW);
            time += 86400 + 2;
        }
    }

    void sameAsUnzip_data() {
        QTest::addColumn<QString>("packer"); // a shell command: $0 the archive, $1 kPythonPacker
        QTest::addColumn<unsigned>("threads");
        const auto row = [](const char* name, const char* packer, unsigned threads = 0) {
            QTest::newRow(name) << QString(packer) << threads;
        };
        row("Info-ZIP, deflate", "zip -rq \"$0\" .");
        row("Info-ZIP, stored", "zip -rq0 \"$0\" .");
        row("Info-ZIP, bzip2, one thread", "zip -rq -Z bzip2 \"$0\" .", 1u);
        row("Info-ZIP, links kept as links, two threads", "zip -rqy -Z bzip2 \"$0\" .", 2u);
        row("Info-ZIP, streamed from standard input",
            "cat docs/notes/long.txt | zip -q - - > \"$0\"");
        row("Info-ZIP, streamed to standard output", "zip -rqy - . > \"$0\"");
        row("Info-ZIP, bzip2 streamed to standard output", "zip -rq -Z bzip2 - . > \"$0\"");
        row("7-Zip, deflate", "7zz a -bd -tzip -mm=Deflate \"$0\" .");
        row("7-Zip, links kept, UTF-8 names", "7zz a -bd -tzip -snl -mcu=on -mm=BZip2 \"$0\" .");
        row("bsdtar", "bsdtar --format zip -cf \"$0\" .");
        row("Python, ZIP64 forced", "python3 -c \"$1\" \"$0\" ZIP_DEFLATED 1");
        row("Python, bzip2, ZIP64 forced", "python3 -c \"$1\" \"$0\" ZIP_BZIP2 1");
    }
    void sameAsUnzip() {
        QFETCH(QString, packer);
        QFETCH(unsigned, threads);
        QCOMPARE(TestTree::Run("bash", {"-c", packer, Archive(), kPythonPacker}, m_source.path()),
                 0);
        CompareWithUnzip({}, threads);
    }

    // Where a file system cannot name a file made without a name, entries are staged under
    // names of their own and moved into place. Here a mount over this process's descriptor
    // folder in /proc takes away the way to name them, and only that.
    void stagedByNameWhereFilesCannotBeNamedLater() {
        if (TestTree::Run("unshare", {"--mount", "true"}) != 0)
            QSKIP("cannot make a mount namespace here");
        QCOMPARE(
            TestTree::Run("bash", {"-c", "zip -rqy -Z bzip2 \"$0\" .", Archive()}, m_source.path()),
            0);
        const QString expected = m_top.filePath("expected");
        QCOMPARE(TestTree::Run("unzip", {"-qo", Archive(), "-d", expected}), 0);
        const QString unpack = "mount -t tmpfs none /proc/$$/fd && exec \"$0\" -q unzip \"$1\"";
        QCOMPARE(TestTree::Run("unshare", {"--mount", "bash", "-c", unpack, TARVO_CLI, Archive()}),
                 0);
        QCOMPARE(ReaderRun::Tree(Destination()), ReaderRun::Tree(expected));
        CheckNothingAstray();
    }

    void corpusArchive_data() {
        QTest::addColumn<QString>("source");
        const QDir corpus(QStringLiteral(TARVO_CORPUS_DIR));
        // The corpus sits beside the checkout, not in it; a fresh clone runs without it.
        if (!corpus.exists())
            QSKIP(qPrintable("no archive corpus at " + corpus.path()));
        const QStringList names = corpus.entryList({"*.zip", "*.notzip"}, QDir::Files, QDir::Name);
        QVERIFY2(names.size() >= 30, qPrintable("corpus incomplete at " + corpus.path()));
        for (const QString& name : names)
            QTest::newRow(qPrintable(name)) << corpus.filePath(name);
    }
    void corpusArchive() {
        QFETCH(QString, source);
        QVERIFY(QFile::copy(source, Archive()));
        CompareWithUnzip(QFileInfo(source).fileName());
    }

    // Whole, each method's entries come out byte for byte, and then damaged or declared short
    // they fail; a stream broken on purpose fails saying why.
    void eachMethod_data() {
        QTest::addColumn<Made>("made");
        const auto row = [](const char* name, const Made& made) { QTest::newRow(name) << made; };
        const auto cut = [](QByteArray body) { return body.left(body.size() - 40); };
        const auto headerOnly = [](QByteArray body) { return body.left(6); };
        const auto nothing = [](QByteArray) { return QByteArray(); };
        const auto replaced = [](qsizetype at, const char* byte) {
            return [=](QByteArray body) { return body.replace(at, 1, byte); };
        };
        const auto followedBy = [](const char* junk) {
            return [=](QByteArray body) { return body + junk; };
        };
        row("LZMA by 7-Zip, no end marker", {kLzma, "7zz a -tzip -mm=LZMA \"$0\" ."});
        row("LZMA by Python, end markers", {kLzma, "python3 -c \"$1\" \"$0\" ZIP_LZMA 0"});
        row("LZMA from xz's .lzma, end markers", {kLzma});
        row("XZ by 7-Zip", {kXz, "7zz a -tzip -mm=XZ \"$0\" ."});
        row("XZ, three streams", {kXz, {}, 3});
        row("Zstandard, three frames", {kZstandard, {}, 3});
        row("LZMA header with four bytes of properties",
            {kLzma, {}, 1, replaced(2, "\x04"), ": the LZMA header is damaged"});
        // lc, lp and pb go up to 224 together
        row("LZMA properties out of range",
            {kLzma, {}, 1, replaced(4, "\xe6"), ": the data's settings are damaged or unknown"});
        row("LZMA header cut short", {kLzma, {}, 1, headerOnly, ": the LZMA data ends early"});
        row("LZMA cut short", {kLzma, {}, 1, cut, ": the LZMA data ends early"});
        row("XZ cut short", {kXz, {}, 1, cut, ": the XZ data ends early"});
        row("XZ with junk after it",
            {kXz, {}, 1, followedBy("no stream follows"), ": the XZ data is damaged"});
        row("Zstandard cut short", {kZstandard, {}, 1, cut, ": the Zstandard data ends early"});
        row("Zstandard with junk after it",
            {kZstandard, {}, 1, followedBy("junk"), ": the Zstandard data is damaged"});
        row("Zstandard, nothing at all",
            {kZstandard, {}, 1, nothing, ": the Zstandard data ends early"});
        row("Deflate64, not read here",
            {9, {}, 1, {}, " uses Deflate64 (9), which this build cannot read"});
    }
    void eachMethod() {
        QFETCH(Made, made);
        const QString tree = m_top.filePath("expected"), archive = Archive();
        for (auto it = kFiles.begin(); it != kFiles.end(); ++it)
            TestTree::WriteFile(tree + '/' + it.key(), it.value());
        QList<ZipBytes::Entry> entries;
        for (auto it = kFiles.begin(); made.command.isEmpty() && it != kFiles.end(); ++it) {
            QByteArray body;
            const qsizetype step = it.value().size() / made.pieces + 1;
            for (int piece = 0; piece < made.pieces; ++piece)
                body += Compressed(made.method, it.value().mid(piece * step, step), m_top.path());
            if (made.breakBody && it.key() == kBig)
                body = made.breakBody(body);
            entries << ZipBytes::WithContent(it.key().toUtf8(), body, made.method, it.value());
        }
        QString output;
        if (made.command.isEmpty())
            TestTree::WriteFile(archive, ZipBytes::Build(entries));
        else
            QVERIFY2(TestTree::Run("bash", {"-c", made.command, archive, kPythonPacker}, tree,
                                   &output) == 0,
                     qPrintable(output));
        if (!made.cause.isEmpty())
            return CheckRefused(archive, {"entry 1 (" + kBig + ")" + made.cause});
        const QByteArray whole = ReadAll(archive), name = kBig.toUtf8();
        const qsizetype local = whole.indexOf(name) - 30, central = whole.lastIndexOf(name) - 46;
        // A tool may store what it cannot shrink.
        QCOMPARE(qFromLittleEndian<quint16>(whole.constData() + local + 8), made.method);

        const QString destination = archive.chopped(4);
        QCOMPARE(ReaderRun::Unpack(archive, destination), "succeeded");
        QCOMPARE(TestTree::Snapshot(destination, false), TestTree::Snapshot(tree, false));
        QVERIFY(QDir(destination).removeRecursively());

        // Bytes flipped well inside the big entry's data, past its local header.
        QByteArray damaged = whole;
        for (qsizetype i = local + 4096; i < local + 4096 + 16; ++i)
            damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
        TestTree::WriteFile(archive, damaged);
        CheckRefused(archive,
                     {"data is damaged", "the entry's CRC does not match", "data ends early"});

        // A third of its size declared in both headers: a bomb costs one buffer.
        QByteArray lessDeclared = whole;
        for (const qsizetype at : {local + 22, central + 24}) {
            QCOMPARE(qFromLittleEndian<quint32>(whole.constData() + at), kFiles[kBig].size());
            qToLittleEndian<quint32>(kFiles[kBig].size() / 3, lessDeclared.data() + at);
        }
        TestTree::WriteFile(archive, lessDeclared);
        CheckRefused(archive, {"the entry holds more data than it declares"});
    }
};

QTEST_GUILESS_MAIN(TestZipReader)
#include "tst_zipreader.moc"
