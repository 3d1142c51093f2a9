// Both workers' side of the protocol, through a recording report target: what they say, in
// which order, and what they leave on disk; where an archive unpacks to; and many runs in one
// process, after which memory, file descriptors and threads have not grown. Then the progress
// bar: its arithmetic and the ticker, driven through the shared state as the windows and the
// workers drive it; and the bar during a large zip or unzip, which follows the work done, not
// the clock: sampled as it runs, it stays within 10 points of the share of the bytes truly
// written so far. Last, how many threads the reader and the writer run: sized from the CPUs
// this process may use, and one budget shared by the decode workers and a large entry's helpers.

#include "archive/Messages.h"
#include "operation/ProgressProtocol.h"
#include "operation/ProgressTicker.h"
#include "operation/ThreadStart.h"
#include "support/TestTree.h"
#include "support/WorkerRun.h"
#include "support/ZipBytes.h"
#include "support/ZipTools.h"
#include "ziparchive/ThreadBudget.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <future>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

namespace {

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

int Count(const char* folder) {
    return QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
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
    QDirIterator it(QStringLiteral("/proc/self/fd"), QDir::AllEntries | QDir::System);
    while (it.hasNext()) {
        const QString fd = it.next();
        const QString target = QFile::symLinkTarget(fd);
        struct stat info {};
        if (target.startsWith(folder + '/') && target.endsWith(QLatin1String(" (deleted)")) &&
            ::stat(QFile::encodeName(fd).constData(), &info) == 0 && S_ISREG(info.st_mode))
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

Q_DECLARE_METATYPE(UnzipRow)
Q_DECLARE_METATYPE(ZipRow)
Q_DECLARE_METATYPE(StepRow)

class TestWorkers : public QObject {
    Q_OBJECT

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

    // Incompressible bytes: the archive grows as the file is read, and what the writer keeps
    // in its buffer is a small share of it.
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        TestTree::WriteFile(m_dir.filePath("large.txt"), TestTree::RandomBytes(kLargeSize, 11));
        TestTree::WriteFile(m_dir.filePath("album/big.txt"),
                            TestTree::RandomBytes(kLargeSize / 2, 12));
        TestTree::WriteFile(m_dir.filePath("album/small.txt"), "a small file\n");
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
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath(row.archive), MakeArchive(row.bytes));
        for (const QString& item : row.existing.split(", ", Qt::SkipEmptyParts))
            TestTree::Make(dir.path(), item);
        const auto before = TestTree::Snapshot(dir.path());
        WorkerRun run;
        QCOMPARE(run.Unzip(dir.filePath(row.archive)), row.outcome);
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
            QCOMPARE(run.Folder(), dir.filePath(row.folder));
        }
        // Nothing changes but the entries written, and their folder when it is new.
        QStringList made;
        for (const QString& entry : QStringList{""} + row.entries.split(", ", Qt::SkipEmptyParts))
            if (const QString path = QDir::cleanPath(row.folder + '/' + entry);
                !failed && !before.contains(path))
                made << '+' + path;
        made.sort();
        QCOMPARE(TestTree::Changes(before, TestTree::Snapshot(dir.path())), made);
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
        QTemporaryDir dir;
        for (const QString& item : row.tree.split(", ", Qt::SkipEmptyParts))
            TestTree::Make(dir.path(), item);
        if (row.fails)
            TestTree::WriteFile(dir.filePath(row.selected + ".zip"), MakeArchive(Bytes::Good));
        const auto before = TestTree::Snapshot(dir.path());
        const QString result = row.fails ? QString() : row.selected + ".zip";
        // The current directory is somewhere else entirely: files are read by their full path.
        const QString current = QDir::currentPath();
        QDir::setCurrent(QDir::rootPath());
        WorkerRun run;
        QCOMPARE(run.Zip(dir.filePath(row.selected), row.folder),
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
            QCOMPARE(run.Folder(), dir.path());
            const QString told = run.Details().value(0);
            const QString detail = QString(row.detail).replace("%1", dir.filePath(row.selected));
            QVERIFY2(detail.endsWith('/') ? told.startsWith(detail) : told == detail,
                     qPrintable(told));
            if (row.steps > 0) {
                QCOMPARE(run.state().stepTotal.load(), row.steps);
                QCOMPARE(run.StepsAfterReset(), row.steps);
            } else if (row.steps == 0) {
                QCOMPARE(run.state().progressCount.load(), 100);
            }
            QStringList entries;
            for (const auto& entry : ZipTools::ListEntries(dir.filePath(result))) {
                entries << entry.toObject()["text"].toString();
                QVERIFY(entry.toObject()["size"].toInteger() > 0); // a /proc file too
            }
            entries.sort();
            QCOMPARE(entries, row.entries.split(", ", Qt::SkipEmptyParts));
        }
        QCOMPARE(TestTree::Changes(before, TestTree::Snapshot(dir.path())),
                 row.fails ? QStringList() : QStringList{'+' + result});
    }

    // 250 zips and 250 unzips, after some to let allocators, pools and caches settle.
    void manyRunsLeaveNothingBehind() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("data");
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
        const int descriptors = Count("/proc/self/fd");
        const int threads = Count("/proc/self/task");
        const qint64 resident = ResidentBytes();
        for (int i = 0; i < 250; ++i)
            zipAndUnzip();
        QCOMPARE(TestTree::Snapshot(folder), original);
        QCOMPARE(RunningThreadCount(), 0);
        QCOMPARE(Count("/proc/self/fd"), descriptors);
        QTRY_COMPARE(Count("/proc/self/task"), threads);
        const qint64 growth = ResidentBytes() - resident;
        QVERIFY2(growth < 16 * 1024 * 1024,
                 qPrintable(QString("resident memory grew by %1 KiB").arg(growth / 1024)));
        QCOMPARE(TestTree::Strays(dir.path(), {"data", "data.zip"}), QStringList());
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

private:
    QTemporaryDir m_dir; // the large files of the bar's rows
};

QTEST_GUILESS_MAIN(TestWorkers)
#include "tst_workers.moc"
