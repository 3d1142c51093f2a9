// The zip worker and the writer beneath it, then both workers' side of the protocol. Archives
// written by CZipArchive, and by tarvo-cli through the zip worker, read back by the outside
// readers and our own: the tree that comes out must be the tree that went in, also past the limits
// of the plain zip format (more entries than its 16-bit counts hold, files of 4 GiB and more).
// Zipping under trouble (a full disk, files that change, vanish or turn into something else, a
// path that cannot take the archive) fails clearly and leaves nothing behind: no archive, no
// temporary, and an earlier archive of the same name byte for byte as it was. A file that changes
// while it is read is stored as read, one version whole. Before the writer, what feeds it: the
// folder walk on real trees (order, links, special files and unreadable folders), and the compact
// list of what it walked, which gives back every file exactly as it was added, whatever its path
// and entry name share.
//
// Then, through a recording report target, what the workers say, in which order, and what they
// leave on disk; where an archive unpacks to; and many runs in one process, after which memory,
// file descriptors and threads have not grown. The progress bar: its arithmetic and the ticker,
// driven through the shared state as the windows and the workers drive it; and the bar during a
// large zip or unzip, which follows the work done, not the clock: sampled as it runs, it stays
// within 10 points of the share of the bytes truly written so far. Last, how many threads the
// reader and the writer run: sized from the CPUs this process may use, and one budget shared by
// the decode workers and a large entry's helpers.

#include "archive/Messages.h"
#include "archive/WalkFolder.h"
#include "operation/ProgressProtocol.h"
#include "operation/ProgressTicker.h"
#include "operation/ThreadStart.h"
#include "support/ReaderRun.h"
#include "support/TestTree.h"
#include "support/WorkerRun.h"
#include "support/ZipBytes.h"
#include "support/ZipTools.h"
#include "ziparchive/CZipArchive.h"
#include "ziparchive/ThreadBudget.h"
#include "ziparchive/fs/ToNarrow.h"
#include "ziparchive/write/FileList.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

namespace {

constexpr qint64 Chunk = 719'984;

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

// A real archive, since Tarvo replaces nothing else: no entries, and a comment to tell it apart.
const QByteArray EarlierArchive = QByteArray("PK\x05\x06", 4) + QByteArray(16, '\0') +
                                  QByteArray("\x25\0", 2) +
                                  "an earlier archive that must survive\n";
// A sparse file (zeros compress at once) with `mark` written at places across it, so that a
// reader that dropped or shifted data anywhere, or mixed two versions, shows it.
void WriteSparse(const QString& path, qint64 size, const QByteArray& mark) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.resize(size));
    for (const qint64 at : {qint64{0}, size / 3, (qint64{1} << 32) - 7, size - mark.size()})
        if (at + mark.size() <= size)
            QVERIFY(file.seek(at) && file.write(mark) == mark.size());
}

// What this process holds open, as its descriptors in /proc show: the file each one names, by
// the descriptor's own path.
QMap<QString, QString> OpenFiles() {
    QMap<QString, QString> open;
    QDirIterator it("/proc/self/fd", QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString fd = it.next();
        open[fd] = QFile::symLinkTarget(fd);
    }
    return open;
}

// One file zipped on its own: its name as stored and flagged, its times.
struct Stamp {
    QByteArray name;
    qint64 mtime = 1'700'000'001;
    QString dosTime{}; // empty: the local time, rounded down to two seconds
    bool exact = true; // the time kept in the extended timestamp
    bool utf8 = false;
};

// When a file changes, how it changes (see Change), and what becomes of it.
enum class Moment { BeforeAdd, BeforeClose, WhileRead };
enum class Outcome { Stored, StoredAndNoted, EitherVersion, Fails };
struct Trouble {
    Moment when;
    QString change;
    Outcome outcome;
};

void Change(const QString& path, const QString& change, const QString& other) {
    const QByteArray narrow = QFile::encodeName(path);
    if (change.endsWith("grows")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::Append) && file.write("more") == 4);
    } else if (change == "shrinks") {
        QVERIFY(::truncate(narrow.constData(), QFileInfo(path).size() * 3 / 4) == 0);
    } else if (change == "renamed over") {
        WriteSparse(path + ".new", QFileInfo(path).size(), "the new version");
        QVERIFY(::rename(QFile::encodeName(path + ".new"), narrow) == 0);
    } else if (change != "stop") {
        QVERIFY(QFile::remove(path));
    }
    if (change == "FIFO") // opened for reading the usual way, it blocks for ever
        QVERIFY(::mkfifo(narrow.constData(), 0644) == 0);
    else if (change == "link")
        QVERIFY(QFile::link(other, path));
}

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

struct Added {
    std::string path;
    std::string entryName;
    mode_t mode = 0644;
    std::time_t modified = 1700000000;
    bool throughLink = false;
};
using Files = std::vector<Added>;

// What an unzip row's archive holds.
enum class Bytes { Good, ThirdDamaged, NoEntries, Junk };

// Three small BZIP2 files, the third one damaged when asked, and a megabyte of zeros stored.
QByteArray MakeArchive(Bytes kind) {
    ZipBytes::Entry third = ZipBytes::Bzip2("three.txt", QByteArray("third entry\n").repeated(50));
    if (kind == Bytes::ThirdDamaged)
        third.body[third.body.size() / 2] ^= 0x55;
    if (kind == Bytes::NoEntries)
        return ZipBytes::Build({});
    if (kind == Bytes::Junk)
        return "not an archive at all";
    return ZipBytes::Build(
        {ZipBytes::Bzip2("one.txt", QByteArray("first entry\n").repeated(50)),
         ZipBytes::Bzip2("dir/two.txt", QByteArray("second entry\n").repeated(50)), third,
         ZipBytes::Stored("zeros.bin", QByteArray(1000000, '\0'))});
}

qint64 ResidentBytes() {
    QFile statm("/proc/self/statm");
    statm.open(QIODevice::ReadOnly);
    return statm.readAll().split(' ').value(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

// An unzip: the archive's name, what stands there first (TestTree::Make's items, split at ", ";
// all of it left as it was), the folder it goes to (none when it fails), the entries written
// there, and the archive's bytes.
struct UnzipRow {
    QString archive, existing, folder;
    QString entries = "dir, dir/two.txt, one.txt, three.txt, zeros.bin";
    Bytes bytes = Bytes::Good;
    UnzipOutcome outcome = UnzipOutcome::Succeeded;
};

// A zip: what stands there first (TestTree::Make's items, split at ", "), the selection, the
// entries, the steps before the message (a folder's bar: one at once, one per file, and 100 for
// its bytes when it has any; 0: a single file's ticks, -1: not counted), what is told beside
// the success message (%1 is the selection; a trailing '/' only its start), whether the
// selection is a folder and whether the zip fails.
struct ZipRow {
    QString tree, selected, entries;
    int steps = -1;
    QString detail = {};
    bool folder = true, fails = false;
};

constexpr qsizetype kLargeSize = 48 * 1024 * 1024;
constexpr int kTolerance = 10;
// The ticker looks at the counter every 40 ms and, on a loaded machine, may wait longer for a
// core: the bar must have caught up with the bytes written this long before it was read.
constexpr qint64 kTickerLatencyMs = 200;

// The bytes of every regular file below folder, hidden ones included.
qint64 BytesBelow(const QString& folder, bool recursive) {
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    while (it.hasNext())
        total += QFileInfo(it.next()).size();
    return total;
}

// The bytes of the files below folder that this process holds open without a name: an entry
// being unpacked may be written that way until it is whole.
qint64 UnnamedBytesBelow(const QString& folder) {
    qint64 total = 0;
    const QMap<QString, QString> open = OpenFiles();
    for (auto fd = open.begin(); fd != open.end(); ++fd) {
        struct stat info {};
        if (fd->startsWith(folder + '/') && fd->endsWith(QLatin1String(" (deleted)")) &&
            ::stat(QFile::encodeName(fd.key()).constData(), &info) == 0 && S_ISREG(info.st_mode))
            total += info.st_size;
    }
    return total;
}

// ThreadCountFor(requested) on a thread allowed only the first `cpus` CPUs of this process's
// mask; nothing when the mask has fewer.
std::optional<unsigned> CountOnCpus(int cpus, unsigned requested) {
    cpu_set_t narrowed;
    if (::sched_getaffinity(0, sizeof narrowed, &narrowed) != 0 || CPU_COUNT(&narrowed) < cpus)
        return std::nullopt;
    for (int cpu = 0, kept = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &narrowed) && ++kept > cpus)
            CPU_CLR(cpu, &narrowed);
    // On a thread of its own, so the test's own threads keep their mask.
    return std::async(std::launch::async,
                      [&]() -> std::optional<unsigned> {
                          if (::sched_setaffinity(0, sizeof narrowed, &narrowed) != 0)
                              return std::nullopt;
                          return ThreadCountFor(requested);
                      })
        .get();
}

struct StepRow {
    bool busy;
    int folderTotal, countBefore;
    int maximum; // -1: no reset
    int steps, position;
};

} // namespace

Q_DECLARE_METATYPE(Stamp)
Q_DECLARE_METATYPE(Trouble)
Q_DECLARE_METATYPE(WalkRow)
Q_DECLARE_METATYPE(Files)
Q_DECLARE_METATYPE(UnzipRow)
Q_DECLARE_METATYPE(ZipRow)
Q_DECLARE_METATYPE(StepRow)

class TestWorkers : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir; // the folder tarvo-cli zips, and the large files of the bar's rows
    std::optional<QTemporaryDir> m_case;
    QString m_source; // in m_dir
    std::thread::id m_mainThread = std::this_thread::get_id();

private slots:
    // Each function and row works in a fresh folder of its own.
    void init() { m_case.emplace(); }
    void cleanup() { m_case.reset(); }

    void initTestCase() {
        // Names outside ASCII reach bsdtar and unzip only in a UTF-8 locale.
        qputenv("LC_ALL", "C.UTF-8");
        QVERIFY(m_dir.isValid());
        m_source = m_dir.filePath("source");
        const auto put = [this](const QString& name, const QByteArray& content, int mode = -1) {
            TestTree::WriteFile(m_source + "/" + name, content, mode);
        };
        put("top.txt", TestTree::TextBytes(10'000, 1));
        put(".hidden", "not shown by ls\n");
        put("empty", {});
        put("name with spaces.txt", "spaces\n");
        put(QString::fromUtf8("ünïcödé/日本語 файл.txt"), TestTree::TextBytes(3'000, 2));
        put("bin/run.sh", "#!/bin/sh\necho run\n", 0755);
        put("bin/private.key", TestTree::RandomBytes(64, 3), 0600);
        put("deep/a/b/c/d/leaf.txt", "leaf\n");
        put("data/.hidden folder/inner", "inner\n");
        put("data/random.bin", TestTree::RandomBytes(2 * Chunk + 12'345, 4));
        put("data/text.log", TestTree::TextBytes(2 * Chunk + 999, 5));
        put("data/exactly one chunk.bin", TestTree::RandomBytes(Chunk, 6));
        put("data/one more.bin", TestTree::RandomBytes(Chunk + 1, 7));
        put("data/zeros", QByteArray(3 * Chunk, '\0'));
        // Incompressible bytes for the bar's rows: the archive grows as the file is read, and
        // what the writer keeps in its buffer is a small share of it.
        TestTree::WriteFile(m_dir.filePath("large.txt"), TestTree::RandomBytes(kLargeSize, 11));
        TestTree::WriteFile(m_dir.filePath("album/big.txt"),
                            TestTree::RandomBytes(kLargeSize / 2, 12));
        TestTree::WriteFile(m_dir.filePath("album/small.txt"), "a small file\n");
        QCOMPARE(ZipTools::ZipWithCli(m_source), 0);
    }

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
        const QString root = m_case->filePath("F");
        if (!row.tree.isEmpty())
            QVERIFY(QDir().mkpath(root));
        for (const QString& item : row.tree.split(", ", Qt::SkipEmptyParts))
            TestTree::Make(root, item);
        const std::string narrowRoot = QFile::encodeName(root).toStdString();
        if (row.tree.isEmpty() || !row.unreadable.isEmpty()) {
            const QByteArray locked = QFile::encodeName(root + "/" + row.unreadable);
            ::chmod(QFile::encodeName(m_case->path()).constData(), 0755);
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

    void givesBackWhatWasAdded_data() {
        QTest::addColumn<Files>("files");
        const auto row = [](const char* name, const Files& files) { QTest::newRow(name) << files; };
        row("the files of two folders", {{"/u/a/1", "a/1"}, {"/u/a/2", "a/2"}, {"/u/b/3", "b/3"}});
        row("files before and after a subfolder",
            {{"/r/a/1", "a/1"}, {"/r/a/b/2", "a/b/2"}, {"/r/a/3", "a/3"}, {"/r/a/b/4", "a/b/4"}});
        row("a bare name", {{"/tmp/report.txt", "report.txt"}});
        row("a path that is its own name",
            {{"notes.txt", "notes.txt"}, {"docs/a.txt", "docs/a.txt"}});
        row("names that are not the end of their paths",
            {{"/r/d.bin", "s/o.bin"}, {"/r/x", "s/x"}, {"/r/y", "z"}, {"/r/w/v", "v/w"}});
        row("a path ending with the name inside a component",
            {{"/r/xfile", "dir/file"}, {"/r/yfile", "dir/file2"}});
        row("the same folder under two names",
            {{"/r/a/f", "a/f"}, {"/r/a/f", "l/f"}, {"/r/a/g", "a/g"}});
        row("bytes that are not UTF-8",
            {{"/r/\xff\xfe/\x80", "\xff\xfe/\x80"}, {"/r/\xe9t\xe9", "\xe9t\xe9"}});
        const std::time_t far = std::time_t{1} << 40;
        row("modes, times and links", {{"/r/a", "a", 07777, -1, true},
                                       {"/r/b", "b", 0, 0, false},
                                       {"/r/c", "c", 0755, far, true},
                                       {"/r/d", "d", 0600, -far}});
    }
    void givesBackWhatWasAdded() {
        QFETCH(Files, files);
        FileList list;
        for (const Added& file : files)
            list.Add(file.path, file.entryName, S_IFREG | file.mode, file.modified,
                     file.throughLink);
        QCOMPARE(list.size(), files.size());
        for (std::size_t i = files.size(); i-- > 0;) {
            const FileToPack file = list[i];
            const QByteArray at = "file " + QByteArray::number(qulonglong(i));
            QVERIFY2(file.path == files[i].path, at + ": " + file.Path());
            QVERIFY2(file.entryName == files[i].entryName, at + ": " + file.EntryName());
            QCOMPARE(file.mode, files[i].mode);
            QCOMPARE(file.modified, files[i].modified);
            QCOMPARE(file.throughLink, files[i].throughLink);
        }
    }

    // A single file zipped on its own goes through the same writer; the progress window's tests
    // unpack one with unzip.
    void readersUnpackTheSameTree_data() {
        QTest::addColumn<QString>("reader");
        for (const char* reader : {"unzip", "7zz", "python", "bsdtar"})
            QTest::newRow(reader) << QString(reader);
    }
    void readersUnpackTheSameTree() {
        QFETCH(QString, reader);
        const QString out = m_dir.filePath("out/" + reader);
        QCOMPARE(ZipTools::TestAndUnpack(reader, m_source + ".zip", out), QString());
        QCOMPARE(TestTree::Snapshot(out), TestTree::Snapshot(m_source));
    }

    // Names of files and folders are stored raw, and come back from our own unzip as their
    // bytes; they are flagged as UTF-8 only when they are: libzip would flag an encoded
    // surrogate or an overlong form, and Python's zipfile would then refuse the archive. Times
    // outside the DOS date's 1980-2107 keep their exact value in the extended timestamp (its
    // 32 bits reach 1901-2106), and the DOS date is clamped rather than wrapped round.
    void namesAndTimes_data() {
        QTest::addColumn<Stamp>("stamp");
        const auto row = [](const char* name, const Stamp& stamp) { QTest::newRow(name) << stamp; };
        row("ASCII", {"plain name.txt"});
        row("UTF-8", {"ünïcödé 日本語 файл.txt", 1'600'000'000, {}, true, true});
        row("Latin-1", {"caf\xe9 \xff.txt"});
        row("a sequence cut short", {"cut\xe6\x97.txt"});
        row("UTF-8 with a control byte", {"bell\x07 \xc3\xa9.txt"});
        row("an encoded surrogate", {"half\xed\xa0\x80.txt"});
        row("an overlong form", {"long\xc1\xbf.txt"});
        row("1975: DOS date clamped to 1980", {"dated", 171'892'800, "1980-01-01 00:00:00"});
        row("2040: past the signed 32 bits", {"dated", 2'208'988'800});
        row("2106: the field's last year", {"dated", 4'294'000'000});
        row("2110: DOS date clamped to 2107, no exact time",
            {"dated", 4'417'977'600, "2107-12-31 23:59:58", false});
    }
    void namesAndTimes() {
        QFETCH(Stamp, stamp);
        // Qt cannot name every such file: it is made by its bytes, in a folder of the same name
        // that tarvo-cli zips, and Python removes them all.
        const auto remove = qScopeGuard([&] {
            TestTree::RunPython("import shutil, sys; shutil.rmtree(sys.argv[1])", {m_case->path()});
        });
        const QByteArray pack = QFile::encodeName(m_case->filePath("pack/"));
        const QByteArray name = stamp.name + "/" + stamp.name;
        const timespec times[2] = {{stamp.mtime, 0}, {stamp.mtime, 0}};
        QVERIFY(::mkdir(pack, 0755) == 0 && ::mkdir(pack + stamp.name, 0755) == 0);
        const int fd = ::open(pack + name, O_WRONLY | O_CREAT, 0644);
        QVERIFY(fd >= 0 && ::write(fd, "named\n", 6) == 6 && ::futimens(fd, times) == 0 &&
                ::close(fd) == 0);
        QCOMPARE(ZipTools::ZipWithCli(m_case->filePath("pack")), 0);
        const QString archive = m_case->filePath("pack.zip");

        const QJsonObject entry = ZipTools::ListEntries(archive).at(0).toObject();
        QCOMPARE(entry["name"].toString().toLatin1(), name.toHex());
        QCOMPARE(entry["utf8"].toBool(), stamp.utf8);
        const QString local =
            QDateTime::fromSecsSinceEpoch(stamp.mtime & ~qint64{1}).toString("yyyy-MM-dd HH:mm:ss");
        QCOMPARE(entry["dosTime"].toString(), stamp.dosTime.isEmpty() ? local : stamp.dosTime);
        // The field's 32 bits, as the listing reads them signed.
        QCOMPARE(entry["utcTime"].toInteger(),
                 stamp.exact ? qint64(qint32(quint32(stamp.mtime))) : qint64(-1));
        QCOMPARE(TestTree::Run("unzip", {"-tq", archive}), 0);
        QCOMPARE(TestTree::Run("7zz", {"t", archive}), 0);

        // Tarvo's own unzip gives back the names, and the exact time or the clamped DOS time,
        // beside the folder, which is in the way.
        QCOMPARE(ReaderRun::Unpack(archive, m_case->filePath("pack(1)")), "succeeded");
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(m_case->filePath("pack(1)/")) + name, &info), 0);
        QCOMPARE(
            qint64(info.st_mtime),
            stamp.exact
                ? stamp.mtime
                : QDateTime::fromString(stamp.dosTime, "yyyy-MM-dd HH:mm:ss").toSecsSinceEpoch());
    }

    // The same bytes on any number of threads, zipping the folder as the zip worker does, and
    // from tarvo-cli on one per core. Entries are reported in order, on the closing thread,
    // while the archive is still its temporary.
    void sameBytesWhateverTheThreadCount() {
        const QString archive = m_case->filePath("out.zip");
        const std::string narrow = ToNarrow(m_source);
        std::vector<std::string> files;
        WalkFolder(narrow, files);
        for (unsigned threads : {1u, 2u, 4u}) {
            CZipArchive zip;
            zip.SetThreadCount(threads);
            zip.Open(archive, CZipArchive::zipCreate);
            zip.SetCompressionMethod(CZipArchive::methodBzip2);
            for (const std::string& file : files)
                zip.AddNewFile(file, file.substr(narrow.size() + 1));
            std::uint64_t next = 0;
            zip.SetEntryWrittenCallback([&](std::uint64_t index) {
                QCOMPARE(index, next++);
                QVERIFY(std::this_thread::get_id() == m_mainThread);
                QVERIFY(!QFile::exists(archive));
                QCOMPARE(TestTree::Strays(m_case->path(), {}).size(), 1);
            });
            zip.Close();
            QCOMPARE(next, files.size());
            QVERIFY2(ReadAll(archive) == ReadAll(m_source + ".zip"),
                     qPrintable(QString("%1 threads differ").arg(threads)));
            QVERIFY(QFile::remove(archive));
        }
        QCOMPARE(TestTree::Strays(m_case->path(), {}), QStringList{});
    }

    // A file that changes between the walk and its first read is stored as it is when opened;
    // one that is no longer a regular file fails the run, naming it. One that changes while its
    // chunks are read is stored as read through the one descriptor it was opened with: one
    // version with its own CRC, never the start of one and the end of another, and a change of
    // size is counted so the user hears of it. A failed run, or one stopped by its progress
    // callback, leaves the earlier archive byte for byte as it was and nothing else.
    void fileChanges_data() {
        QTest::addColumn<Trouble>("trouble");
        using enum Moment;
        using enum Outcome;
        QTest::newRow("the archive's folder missing") << Trouble{BeforeAdd, "no folder", Fails};
        QTest::newRow("missing") << Trouble{BeforeAdd, "vanishes", Fails};
        QTest::newRow("a FIFO") << Trouble{BeforeAdd, "FIFO", Fails};
        QTest::newRow("grows before it is read") << Trouble{BeforeClose, "grows", Stored};
        QTest::newRow("empty file grows") << Trouble{BeforeClose, "empty grows", Stored};
        QTest::newRow("vanishes") << Trouble{BeforeClose, "vanishes", Fails};
        QTest::newRow("turns into a FIFO") << Trouble{BeforeClose, "FIFO", Fails};
        QTest::newRow("turns into a link") << Trouble{BeforeClose, "link", Fails};
        QTest::newRow("stopped by the callback") << Trouble{BeforeClose, "stop", Fails};
        QTest::newRow("renamed over by a save of the same size")
            << Trouble{WhileRead, "renamed over", EitherVersion};
        QTest::newRow("grows while read") << Trouble{WhileRead, "grows", StoredAndNoted};
        QTest::newRow("shrinks while read") << Trouble{WhileRead, "shrinks", StoredAndNoted};
    }
    void fileChanges() {
        QFETCH(Trouble, trouble);
        const QString first = m_case->filePath("first.txt"), archive = m_case->filePath("out.zip");
        const QString changing = m_case->filePath("changing");
        TestTree::WriteFile(first, "first\n");
        TestTree::WriteFile(archive, EarlierArchive);
        // Read while it changes, the file has more chunks than the pool may read ahead of the
        // writer, so when the first file is written its end has not been read yet.
        if (trouble.when == Moment::WhileRead)
            WriteSparse(changing, 80 * Chunk, "the old version");
        else
            TestTree::WriteFile(changing, trouble.change == "empty grows"
                                              ? QByteArray()
                                              : TestTree::RandomBytes(Chunk + 9, 3));
        const QByteArray before = ReadAll(changing);
        const std::string narrow = QFile::encodeName(changing).toStdString();
        // A failure names the file, or the folder missing, since libzip's own message would not.
        const bool noFolder = trouble.change == "no folder";
        const QString named = trouble.change == "stop" ? "stopped"
                              : noFolder               ? m_case->filePath("missing")
                                                       : changing;
        std::uint64_t noted = 0;
        std::string firstNoted;
        try {
            CZipArchive zip;
            zip.SetThreadCount(2);
            zip.Open(noFolder ? m_case->filePath("missing/out.zip") : archive,
                     CZipArchive::zipCreate);
            zip.AddNewFile(QFile::encodeName(first).toStdString(), "first.txt");
            if (trouble.when == Moment::BeforeAdd) {
                Change(changing, trouble.change, first);
                QVERIFY_THROWS_EXCEPTION(CZipException, zip.AddNewFile(narrow, "changing"));
                throw std::runtime_error(narrow); // as the worker ends the run
            }
            zip.AddNewFile(narrow, "changing");
            if (trouble.when == Moment::BeforeClose)
                Change(changing, trouble.change, first);
            zip.SetEntryWrittenCallback([&](std::uint64_t index) {
                if (index == 0 && trouble.change == "stop")
                    throw std::runtime_error("stopped");
                // Changed once the pool has it open, which it may not yet have under load.
                if (index == 0 && trouble.when == Moment::WhileRead) {
                    QTRY_VERIFY_WITH_TIMEOUT(
                        OpenFiles().values().contains(QFileInfo(changing).canonicalFilePath()),
                        20000);
                    Change(changing, trouble.change, first);
                }
            });
            zip.Close();
            noted = zip.GetChangedFileCount();
            firstNoted = zip.GetFirstChangedFile();
        } catch (const std::exception& error) {
            QVERIFY2(trouble.outcome == Outcome::Fails, error.what());
            QVERIFY2(QString::fromLocal8Bit(error.what()).contains(named), error.what());
            QCOMPARE(ReadAll(archive), EarlierArchive);
            QCOMPARE(TestTree::Strays(m_case->path(), {"first.txt", "out.zip", "changing"}),
                     QStringList{});
            return;
        }
        QVERIFY(trouble.outcome != Outcome::Fails);
        QCOMPARE(ZipTools::TestAndUnpack("python", archive, m_case->filePath("out")), QString());
        const QByteArray stored = ReadAll(m_case->filePath("out/changing"));
        QVERIFY(stored == ReadAll(changing) ||
                (trouble.outcome == Outcome::EitherVersion && stored == before));
        const bool counted = trouble.outcome == Outcome::StoredAndNoted;
        QCOMPARE(noted, std::uint64_t(counted ? 1 : 0));
        QCOMPARE(firstNoted, counted ? narrow : std::string());
    }

    // tarvo-cli under trouble: a full disk at any point. A failed run exits 1 and leaves nothing:
    // no archive, no temporary, an earlier archive byte for byte as it was. An empty folder gives
    // an archive with no entries, an earlier archive replaced keeps its permissions, and
    // temporaries of a killed run are removed, though not one a running writer holds nor names that
    // only look like ours.
    void cliRun_data() {
        QTest::addColumn<QString>("trouble");
        QTest::addColumn<bool>("earlier");
        for (const char* trouble : {"disk full in the first entry", "disk full half-way",
                                    "disk full in the last kilobyte", "empty folder"}) {
            QTest::addRow("%s", trouble) << QString(trouble) << false;
            QTest::addRow("%s, over an earlier archive", trouble) << QString(trouble) << true;
        }
        QTest::newRow("temporaries of a killed run") << "temporaries" << false;
    }
    void cliRun() {
        QFETCH(QString, trouble);
        QFETCH(bool, earlier);
        const QString folder = m_case->filePath("pack"), archive = folder + ".zip";
        QVERIFY(QDir().mkpath(folder));
        // Incompressible, and more than the writer gathers in memory, so a full disk is met by
        // writes during the entries as well as by the last one at the commit.
        if (trouble != "empty folder") {
            TestTree::WriteFile(folder + "/one.bin", TestTree::RandomBytes(1'300'000, 1));
            TestTree::WriteFile(folder + "/two.bin", TestTree::RandomBytes(1'200'000, 2));
            TestTree::WriteFile(folder + "/three.txt", "three\n");
        }
        QString output, limit;
        if (trouble.startsWith("disk full")) { // of the size an unlimited run writes
            QCOMPARE(ZipTools::ZipWithCli(folder), 0);
            const qint64 size = QFileInfo(archive).size();
            QVERIFY(QFile::remove(archive));
            limit = QString("ulimit -f %1")
                        .arg(trouble.endsWith("first entry") ? 100
                             : trouble.endsWith("half-way")  ? size / 2048
                                                             : (size - 1) / 1024);
        }
        if (earlier)
            TestTree::WriteFile(archive, EarlierArchive, 0640);
        QStringList kept;
        int held = -1;
        const auto release = qScopeGuard([&held] { ::close(held); });
        if (trouble == "temporaries") { // one left by a killed run, one held, look-alikes
            kept =
                QStringList{".pack.zip.tarvo-Xy34Zw", ".pack.zip.tarvo-toolong", "pack.zip.Ab12Cd"};
            for (const QString& name : kept + QStringList{".pack.zip.tarvo-Ab12Cd"})
                TestTree::WriteFile(m_case->filePath(name), "temporary?");
            held = ::open(QFile::encodeName(m_case->filePath(kept[0])), O_RDONLY | O_CLOEXEC);
            QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);
        }
        const bool fails = trouble.startsWith("disk full");
        const int code = ZipTools::ZipWithCli(folder, &output, limit);
        QVERIFY2(code == (fails ? 1 : 0), qPrintable(QString("exit %1: %2").arg(code).arg(output)));
        if (fails)
            QCOMPARE(ReadAll(archive), earlier ? EarlierArchive : QByteArray("(none)"));
        else if (trouble == "empty folder") // replaced, not deleted: an end record alone
            QCOMPARE(ReadAll(archive), QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0'));
        if (earlier) // its mode, "f <mode> <hash>" in the snapshot
            QCOMPARE(TestTree::Snapshot(m_case->path()).value("pack.zip").section(' ', 1, 1),
                     "640");
        QCOMPARE(TestTree::Strays(m_case->path(), {"pack", "pack.zip"}), kept);
    }

    // Past 65,535 entries the count needs the ZIP64 end record and its locator. At 65,535
    // libzip still writes the plain end record, its count 0xFFFF; every reader takes that as
    // the count.
    void manyEntries_data() {
        QTest::addColumn<int>("count");
        QTest::newRow("65,535: the most the count field holds") << 65'535;
        QTest::newRow("65,536: more than the count field holds") << 65'536;
    }
    void manyEntries() {
        QFETCH(int, count);
        const QString small = m_case->filePath("small.txt"), empty = m_case->filePath("empty");
        const QString archive = m_case->filePath("many.zip");
        TestTree::WriteFile(small, "x\n");
        TestTree::WriteFile(empty, {});
        {
            CZipArchive zip;
            zip.Open(archive, CZipArchive::zipCreate);
            for (int i = 0; i < count; ++i)
                zip.AddNewFile(QFile::encodeName(i % 7 == 0 ? small : empty).toStdString(),
                               "d" + std::to_string(i / 1000) + "/f" + std::to_string(i % 1000));
            zip.Close();
        }
        const QByteArray tail = ReadAll(archive).right(200);
        QCOMPARE(tail.contains("PK\x06\x06"), count > 0xFFFF);
        QCOMPARE(tail.contains("PK\x06\x07"), count > 0xFFFF);

        // Each reader counts the entries, unzip and 7zz test them, and ours unpacks every one.
        QCOMPARE(ZipTools::ListEntries(archive).size(), qsizetype{count});
        for (const QString counter :
             {"unzip -tq \"$1\" > /dev/null && unzip -Z1 \"$1\" | wc -l",
              "7zz t \"$1\" | sed -n 's/^Files: //p'", "bsdtar -tf \"$1\" | wc -l"}) {
            QString output;
            const int code = TestTree::Run(
                "bash", {"-c", "set -o pipefail; " + counter, "bash", archive}, {}, &output);
            QVERIFY2(code == 0 && output.trimmed() == QString::number(count),
                     qPrintable(counter + ": " + output));
        }
        QCOMPARE(ReaderRun::Unpack(archive, m_case->filePath("many")), "succeeded");
        const auto tree = TestTree::Snapshot(m_case->filePath("many"), false);
        QCOMPARE(std::count_if(tree.begin(), tree.end(), [](auto& item) { return item[0] == 'f'; }),
                 qsizetype{count});
    }

    void largeFile_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("zip64InDirectory");
        // Below 4 GiB, but compressed data that size could pass 32 bits, so the local header
        // has ZIP64 fields from the start; the directory needs none.
        QTest::newRow("4 GiB less two bytes") << (qint64{1} << 32) - 2 << false;
        // 0xFFFFFFFF itself means "see the ZIP64 field", so the directory must have one.
        QTest::newRow("4 GiB less one byte") << (qint64{1} << 32) - 1 << true;
        QTest::newRow("4 GiB and 3 MiB") << (qint64{1} << 32) + (3 << 20) << true;
    }
    void largeFile() {
        if (qEnvironmentVariableIntValue("TARVO_SLOW_TESTS") != 1)
            QSKIP("slow: set TARVO_SLOW_TESTS=1 to zip and unpack files of 4 GiB");
        QFETCH(qint64, size);
        QFETCH(bool, zip64InDirectory);
        const QString file = m_case->filePath("large.bin");
        const QString archive = file + ".zip";
        WriteSparse(file, size, "mark!");
        QString output;
        QCOMPARE(ZipTools::ZipWithCli(file, &output), 0);
        const QJsonArray entries = ZipTools::ListEntries(archive);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries[0].toObject()["size"].toInteger(), size);
        QCOMPARE(entries[0].toObject()["zip64"].toBool(), zip64InDirectory);
        QCOMPARE(TestTree::Run("unzip", {"-tq", archive}, {}, &output, 900'000), 0);
        QCOMPARE(TestTree::Run("7zz", {"t", archive}, {}, &output, 900'000), 0);

        // The data through bsdtar and through Python's zipfile, hashed on the way. zipfile is
        // read in small steps: a zero-filled entry compresses so well that one large read
        // would inflate gigabytes at once.
        QString expected;
        for (const QString unpack :
             {"cat \"$1\"", "bsdtar -xOf \"$1.zip\"",
              "python3 -c 'import shutil, sys, zipfile\n"
              "with zipfile.ZipFile(sys.argv[1]) as z, z.open(z.infolist()[0]) as f:\n"
              "    shutil.copyfileobj(f, sys.stdout.buffer, 1 << 16)' \"$1.zip\""}) {
            const int code = TestTree::Run("bash", {"-c", unpack + " | sha1sum", "bash", file}, {},
                                           &output, 900'000);
            if (expected.isEmpty())
                expected = output.section(' ', 0, 0);
            QVERIFY2(code == 0 && output.startsWith(expected + ' '), qPrintable(unpack));
        }
    }

private slots:
    // Rows: the state the steps find (folderTotal 0: not a folder zip), whether a reset comes
    // first and the range it gives, then the steps and where the bar ends (-1: no position).
    void stepsMoveTheBar_data() {
        QTest::addColumn<StepRow>("row");
        const auto row = [](const char* name, const StepRow& row) { QTest::newRow(name) << row; };
        row("steps are ignored while idle", {false, 0, 7, -1, 1, -1});
        row("outside a folder zip the count stops at 100", {true, 0, 0, 100, 151, 100});
        row("a reset starts the count afresh", {true, 0, 42, 100, 1, 1});
        // The worker posts the reset, finishes and stores 100 before the UI thread handles
        // the reset: the bar must still end full.
        row("a late reset keeps the worker's final 100", {true, 0, 100, 100, 1, 100});
        row("a folder zip counts every step, past 16 bits", {true, 70001, 0, 70001, 70001, 70001});
        row("a folder zip's reset always starts from zero", {true, 500, 250, 500, 1, 1});
        row("an empty folder is full after the first step", {true, 1, 0, 1, 1, 1});
    }
    void stepsMoveTheBar() {
        QFETCH(StepRow, row);
        OperationState state;
        state.busy = row.busy;
        state.zipSelected = state.zipFolder = row.folderTotal > 0;
        state.stepTotal = row.folderTotal;
        state.progressCount = row.countBefore;
        if (row.maximum >= 0)
            QCOMPARE(OnProgressReset(state).maximum, row.maximum);
        std::optional<int> last;
        for (int i = 0; i < row.steps; ++i)
            last = OnProgressStep(state);
        QCOMPARE(last.value_or(-1), row.position);
        QCOMPARE(state.progressCount.load(), row.position < 0 ? row.countBefore : row.position);
    }

    // The worker's final 100 must survive steps racing with it: the bar always ends full.
    void finalHundredIsNeverLostToAConcurrentStep() {
        for (int round = 0; round < 200; ++round) {
            OperationState state;
            state.busy = true;
            std::thread ui([&state] {
                for (int i = 0; i < 300; ++i)
                    OnProgressStep(state);
            });
            std::thread worker([&state] { state.progressCount = 100; });
            worker.join();
            ui.join();
            QCOMPARE(state.progressCount.load(), 100);
        }
    }

    // The ticker posts the steps the bytes earn, never past its cap; the worker gets what is
    // left; and a ticker whose work has ended claims nothing in the next one. Its thread is
    // counted until it returns, once the operation is over.
    void tickerFollowsTheBytes() {
        WorkerRun run;
        OperationState& state = run.state();
        state.busy = true;
        // The ticker posts nothing but steps.
        const auto steps = [&run] { return int(run.Reports().size()); };
        const int threads = RunningThreadCount();
        {
            TickedWork work(state, 1000, 95);
            QCOMPARE(RunningThreadCount(), threads + 1);
            QTest::qWait(100);
            QCOMPARE(steps(), 0);
            work.Counter()->store(427);
            QTRY_COMPARE(steps(), 42);
            work.Counter()->store(1200); // a read counted twice does not pass the total
            QTRY_COMPARE(steps(), 95);
            QCOMPARE(work.Finish(), 5);
        }
        {
            TickedWork next(state, 100, 100);
            next.Counter()->store(10);
            QTRY_COMPARE(steps(), 95 + 10);
            QTest::qWait(100); // the first ticker, had it gone on, would have stepped by now
            QCOMPARE(steps(), 95 + 10);
        }
        state.busy = false;
        QTRY_COMPARE(RunningThreadCount(), threads);
    }

    // Rows in order: the unzip reads the archive the first row writes. The selection, and
    // what grows as the work is done.
    void theBarFollowsTheBytes_data() {
        QTest::addColumn<QStringList>("row");
        QTest::newRow("zip a large file") << QStringList{"zip", "large.txt", "large.txt.zip"};
        QTest::newRow("zip a folder of one large file and a small one")
            << QStringList{"zip folder", "album", "album.zip"};
        QTest::newRow("unzip a large entry")
            << QStringList{"unzip", "unpack.zip", "unpack/large.txt"};
    }
    void theBarFollowsTheBytes() {
        QFETCH(QStringList, row);
        const QString operation = row[0], selected = m_dir.filePath(row[1]);
        const bool unzip = operation == QLatin1String("unzip");
        // The archive of the first row, under a name whose folder nothing stands in the way of.
        if (unzip)
            QVERIFY(QFile::rename(m_dir.filePath("large.txt.zip"), selected));
        // Unzip writes the entry's bytes below the destination; zip writes the archive (first
        // under another name) beside the selection, where nothing else changes meanwhile.
        const qint64 beside = BytesBelow(m_dir.path(), false);
        const auto written = [&] {
            const QString destination = m_dir.filePath("unpack");
            return unzip ? BytesBelow(destination, true) + UnnamedBytesBelow(destination)
                         : BytesBelow(m_dir.path(), false) - beside;
        };
        WorkerRun run;
        auto work = std::async(std::launch::async, [&] {
            return unzip ? run.Unzip(selected) == UnzipOutcome::Succeeded
                         : run.Zip(selected, operation == "zip folder") == ZipOutcome::Succeeded;
        });
        // When each sample was taken, the bar, and the bytes written just after it was read.
        QList<std::array<qint64, 3>> samples;
        QElapsedTimer clock;
        clock.start();
        while (work.wait_for(std::chrono::milliseconds(15)) != std::future_status::ready) {
            const int range = run.state().PerFileMode() ? run.state().stepTotal.load() : 100;
            const qint64 takenAt = clock.elapsed();
            // Where the bar stands as a window shows it: the steps since the reset, in percent.
            const int steps = run.StepsAfterReset();
            const int bar = range > 0 ? std::min(steps, range) * 100 / range : 0;
            // A listing can miss a file renamed while it runs (the staged entry or the
            // finished archive moving into place); what is written never shrinks, so a
            // listing that finds less than the one before is taken again.
            const qint64 previous = samples.isEmpty() ? 0 : samples.last()[2];
            qint64 now = written();
            for (int retry = 0; now < previous && retry < 20; ++retry)
                now = written();
            samples.append({takenAt, bar, now});
        }
        QVERIFY(work.get());
        const qint64 total = QFileInfo(m_dir.filePath(row[2])).size();
        QVERIFY(total > 0);
        int during = 0;
        qsizetype caughtUp = 0; // the last sample the bar must have caught up with
        for (qsizetype i = 0; i < samples.size(); ++i) {
            const auto& [takenAt, bar, rawAfter] = samples[i];
            while (caughtUp + 1 < i && samples[caughtUp + 1][0] <= takenAt - kTickerLatencyMs)
                ++caughtUp;
            const qint64 before = std::min(samples[caughtUp][2], total) * 100 / total;
            const qint64 after = std::min(rawAfter, total) * 100 / total;
            during += before > 5 && after < 95;
            QVERIFY2(bar >= before - kTolerance && bar <= after + kTolerance,
                     qPrintable(QString::asprintf("the bar at %lld%%, the bytes at %lld..%lld%%",
                                                  bar, before, after)));
        }
        // Not a pass by default: the work took long enough to be seen under way.
        QVERIFY2(during >= 3, qPrintable(QStringLiteral("%1 samples under way").arg(during)));
    }

    void unzip_data() {
        QTest::addColumn<UnzipRow>("row");
        const auto row = [](const char* name, const UnzipRow& row) { QTest::newRow(name) << row; };
        row("entries", {"photos.zip", "", "photos"});
        row("a file in the way: the (1) folder", {"photos.zip", "photos=plain", "photos(1)"});
        row("counting on past (1); a link is not taken for a folder",
            {"photos.zip", "photos=x, photos(1) -> elsewhere, photos(2)=x", "photos(3)"});
        row("a folder without clashes is merged into",
            {"photos.zip", "photos/mine.txt=mine", "photos"});
        row("a folder holding a file an entry would replace",
            {"photos.zip", "photos/one.txt=edited", "photos(1)"});
        row("a folder holding a link where an entry goes",
            {"photos.zip", "photos/one.txt -> elsewhere", "photos(1)"});
        row("a folder holding a file where the archive has a folder",
            {"photos.zip", "photos/dir=mine", "photos(1)"});
        row("a folder holding a link where the archive has a folder",
            {"photos.zip", "photos/dir -> /tmp", "photos(1)"});
        row("last dot only", {"a.b.zip", "", "a.b"});
        row("a dot in a folder name never counts",
            {"my.files/archive", "my/", "my.files/archive(1)"});
        row("a dot that begins the name is no extension", {".backup", "", ".backup(1)"});
        row("nor does a cut leave dots alone", {"...zip", "", "...zip(1)"});
        row("a dot after the first", {".a.zip", "", ".a"});
        row("no entries: the folder all the same",
            {"photos.zip", "", "photos", "", Bytes::NoEntries});
        row("a corrupted entry stops after the ones before",
            {"photos.zip", "", "photos", "dir, dir/two.txt, one.txt", Bytes::ThirdDamaged,
             UnzipOutcome::Corrupted});
        row("not an archive", {"gone.zip", "", "", "", Bytes::Junk, UnzipOutcome::Failed});
    }
    void unzip() {
        QFETCH(UnzipRow, row);
        TestTree::WriteFile(m_case->filePath(row.archive), MakeArchive(row.bytes));
        for (const QString& item : row.existing.split(", ", Qt::SkipEmptyParts))
            TestTree::Make(m_case->path(), item);
        const auto before = TestTree::Snapshot(m_case->path());
        WorkerRun run;
        QCOMPARE(run.Unzip(m_case->filePath(row.archive)), row.outcome);
        const bool failed = row.outcome == UnzipOutcome::Failed;
        QCOMPARE(run.Milestones(), failed ? "Finished Message" : "Reset Message Folder Finished");
        const QString message = failed ? Messages::UnzipFailed
                                : row.outcome == UnzipOutcome::Corrupted
                                    ? Messages::ZipFileCorrupted
                                    : Messages::UnzipSucceeded;
        QCOMPARE(run.Messages(), QStringList{Messages::Unzipper + '|' + message});
        QCOMPARE(run.state().failed, failed);
        if (row.outcome == UnzipOutcome::Corrupted)
            QVERIFY2(run.Details().value(0).startsWith("entry 3 (three.txt): the bzip2 data"),
                     qPrintable(run.Details().value(0)));
        if (!failed) {
            // The last step before the success message is the worker's own, after the count
            // reached 100; a corrupted entry is told of at once.
            QVERIFY(row.outcome != UnzipOutcome::Succeeded || run.StepsAfterReset() >= 1);
            QCOMPARE(run.state().progressCount.load(), 100);
            QVERIFY(run.state().busy);
            // The folder shown is the one written.
            QCOMPARE(run.Folder(), m_case->filePath(row.folder));
        }
        // Nothing changes but the entries written, and their folder when it is new.
        QStringList made;
        for (const QString& entry : QStringList{""} + row.entries.split(", ", Qt::SkipEmptyParts))
            if (const QString path = QDir::cleanPath(row.folder + '/' + entry);
                !failed && !before.contains(path))
                made << '+' + path;
        made.sort();
        QCOMPARE(TestTree::Changes(before, TestTree::Snapshot(m_case->path())), made);
    }

    void zip_data() {
        QTest::addColumn<ZipRow>("row");
        const auto row = [](const char* name, const ZipRow& row) { QTest::newRow(name) << row; };
        row("a folder: one step at once, one per file and its bytes",
            {"photos/a.jpg, photos/sub/b.jpg, photos/sub/c.txt, photos/empty/", "photos",
             "a.jpg, sub/b.jpg, sub/c.txt", 104});
        row("an empty folder: one step and an archive with no entries",
            {"nothing/inner/", "nothing", "", 1});
        row("a single file: stored under its bare name",
            {"report.txt", "report.txt", "report.txt", 0, "", false});
        row("a link to a /proc file is stored as it reads",
            {"F/plain, F/status -> /proc/self/status", "F", "plain, status", -1,
             "1 file changed size while it was read and was stored as read: %1/status"});
        row("a FIFO and a device are left out and counted",
            {"F/plain, F/fifo|, F/zeros -> /dev/zero", "F", "plain", 102,
             "2 special files (FIFOs, sockets or devices) were left out, the first: %1/"});
        row("one FIFO", {"F/plain, F/fifo|", "F", "plain", 102,
                         "1 special file (a FIFO, socket or device) was left out: %1/fifo"});
        // An older archive of the name is kept as it was. A single file is measured and the bar
        // reset before the file is read.
        row("a missing file", {"", "gone", "", -1, "", false, true});
        row("a missing folder", {"", "gone", "", -1, "", true, true});
    }
    void zip() {
        QFETCH(ZipRow, row);
        for (const QString& item : row.tree.split(", ", Qt::SkipEmptyParts))
            TestTree::Make(m_case->path(), item);
        if (row.fails)
            TestTree::WriteFile(m_case->filePath(row.selected + ".zip"), MakeArchive(Bytes::Good));
        const auto before = TestTree::Snapshot(m_case->path());
        const QString result = row.fails ? QString() : row.selected + ".zip";
        // The current directory is somewhere else entirely: files are read by their full path.
        const QString current = QDir::currentPath();
        QDir::setCurrent(QDir::rootPath());
        WorkerRun run;
        QCOMPARE(run.Zip(m_case->filePath(row.selected), row.folder),
                 row.fails ? ZipOutcome::Failed : ZipOutcome::Succeeded);
        QDir::setCurrent(current);
        QCOMPARE(run.Milestones(), !row.fails   ? "Reset Message Folder Finished"
                                   : row.folder ? "Finished Message"
                                                : "Reset Finished Message");
        QCOMPARE(run.Messages(),
                 QStringList{Messages::Zipper + '|' +
                             (row.fails ? Messages::ZipFailed : Messages::ZipSucceeded)});
        QCOMPARE(run.state().failed, row.fails);
        if (!row.fails) {
            // The ticker may still post a step after the folder is opened: found by kind.
            QCOMPARE(run.Folder(), m_case->path());
            const QString told = run.Details().value(0);
            const QString detail =
                QString(row.detail).replace("%1", m_case->filePath(row.selected));
            QVERIFY2(detail.endsWith('/') ? told.startsWith(detail) : told == detail,
                     qPrintable(told));
            if (row.steps > 0) {
                QCOMPARE(run.state().stepTotal.load(), row.steps);
                QCOMPARE(run.StepsAfterReset(), row.steps);
            } else if (row.steps == 0) {
                QCOMPARE(run.state().progressCount.load(), 100);
            }
            QStringList entries;
            for (const auto& entry : ZipTools::ListEntries(m_case->filePath(result))) {
                entries << entry.toObject()["text"].toString();
                QVERIFY(entry.toObject()["size"].toInteger() > 0); // a /proc file too
            }
            entries.sort();
            QCOMPARE(entries, row.entries.split(", ", Qt::SkipEmptyParts));
        }
        QCOMPARE(TestTree::Changes(before, TestTree::Snapshot(m_case->path())),
                 row.fails ? QStringList() : QStringList{'+' + result});
    }

    // 250 zips and 250 unzips, after some to let allocators, pools and caches settle.
    void manyRunsLeaveNothingBehind() {
        const QString folder = m_case->filePath("data");
        for (int i = 0; i < 12; ++i)
            TestTree::WriteFile(QString("%1/sub%2/file%3.txt").arg(folder).arg(i % 3).arg(i),
                                TestTree::TextBytes(20000 + i * 1000, i));
        const auto original = TestTree::Snapshot(folder);
        // The folder itself is in the way, so each unzip goes beside it, into data(1).
        const auto zipAndUnzip = [&] {
            QCOMPARE(WorkerRun().Zip(folder, true), ZipOutcome::Succeeded);
            QCOMPARE(WorkerRun().Unzip(folder + ".zip"), UnzipOutcome::Succeeded);
            QVERIFY(QDir(folder + "(1)").removeRecursively());
        };
        for (int i = 0; i < 20; ++i)
            zipAndUnzip();
        const qsizetype descriptors = OpenFiles().size();
        const qsizetype threads = QDir("/proc/self/task").count();
        const qint64 resident = ResidentBytes();
        for (int i = 0; i < 250; ++i)
            zipAndUnzip();
        QCOMPARE(TestTree::Snapshot(folder), original);
        QCOMPARE(RunningThreadCount(), 0);
        QCOMPARE(OpenFiles().size(), descriptors);
        QTRY_COMPARE(QDir("/proc/self/task").count(), threads);
        const qint64 growth = ResidentBytes() - resident;
        QVERIFY2(growth < 16 * 1024 * 1024,
                 qPrintable(QString("resident memory grew by %1 KiB").arg(growth / 1024)));
        QCOMPARE(TestTree::Strays(m_case->path(), {"data", "data.zip"}), QStringList());
    }

    // ThreadCountFor on a thread allowed only so many CPUs (one, as under taskset -c 0, then
    // two), unless a count is asked for. The row a small machine may skip comes last.
    void countFollowsTheAffinityMask() {
        for (const auto& [cpus, requested, expected] :
             {std::tuple{1, 0u, 1u}, {1, 3u, 3u}, {2, 0u, 2u}}) {
            const std::optional<unsigned> count = CountOnCpus(cpus, requested);
            if (!count)
                QSKIP("this machine does not let the test narrow its CPUs that far");
            QCOMPARE(*count, expected);
        }
    }

    // Helpers get what the busy workers leave, maybe nothing; all of it comes back.
    void helpersTakeOnlyWhatWorkersLeave() {
        for (const auto& [total, workers, wanted, granted] :
             {std::tuple{4u, 1, 3u, 3u}, {4u, 4, 3u, 0u}, {3u, 2, 2u, 1u}}) {
            ThreadBudget budget(total);
            std::vector<ThreadBudget::Lease> busy;
            for (int i = 0; i < workers; ++i)
                busy.push_back(budget.Worker());
            QCOMPARE(budget.Helpers(wanted).Count(), granted);
            busy.clear();
            QCOMPARE(budget.Helpers(total).Count(), total);
        }
    }

    // A worker that finds every thread lent to helpers waits for them instead of adding a thread.
    void workerWaitsForHelpersToReturn() {
        ThreadBudget budget(2);
        std::optional<ThreadBudget::Lease> helpers(budget.Helpers(2));
        QCOMPARE(helpers->Count(), 2u);
        auto worker = std::async(std::launch::async, [&] { return budget.Worker().Count(); });
        QCOMPARE(worker.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
        helpers.reset();
        QCOMPARE(worker.get(), 1u);
    }
};

int main(int argc, char** argv) {
    // Zipping and unpacking 4 GiB four times takes longer than QtTest's five minutes per
    // function on a busy machine.
    if (qEnvironmentVariableIsEmpty("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", "3600000");
    QCoreApplication app(argc, argv);
    TestWorkers test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_workers.moc"
