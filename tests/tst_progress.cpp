// The progress bar: its arithmetic and the ticker, driven through the shared state as the
// windows and the workers drive it; and the bar during a large zip or unzip, which follows the
// work done, not the clock: sampled as it runs, it stays within 10 points of the share of the
// bytes truly written so far.

#include "operation/ProgressProtocol.h"
#include "operation/ProgressTicker.h"
#include "operation/ThreadStart.h"
#include "support/TestTree.h"
#include "support/WorkerRun.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <array>
#include <atomic>
#include <optional>
#include <thread>

using Kind = RecordingReport::Record::Kind;

namespace {

constexpr qsizetype kLargeSize = 48 * 1024 * 1024;
constexpr int kTolerance = 10;
// The ticker looks at the counter every 40 ms and, on a loaded machine, may wait longer for a
// core: the bar must have caught up with the bytes written this long before it was read.
constexpr qint64 kTickerLatencyMs = 200;

// The bytes of every regular file below folder (hidden ones included), except `except`.
qint64 BytesBelow(const QString& folder, bool recursive, const QString& except = {}) {
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path != except)
            total += QFileInfo(path).size();
    }
    return total;
}

// Where the bar stands as a window shows it, in percent: the steps since the reset on the
// range of the operation.
int BarPercent(const RecordingReport& report, int range) {
    int steps = 0;
    for (const auto& record : report.Records()) {
        if (record.kind == Kind::Reset)
            steps = 0;
        else if (record.kind == Kind::Step)
            ++steps;
    }
    return std::min(steps, range) * 100 / range;
}

} // namespace

class TestProgress : public QObject {
    Q_OBJECT

private slots:
    // Rows: the state the steps find (folderTotal 0: not a folder zip), whether a reset comes
    // first and the range it gives, then the steps and where the bar ends (-1: no position).
    void stepsMoveTheBar_data() {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<int>("folderTotal");
        QTest::addColumn<int>("countBefore");
        QTest::addColumn<int>("maximum"); // -1: no reset
        QTest::addColumn<int>("steps");
        QTest::addColumn<int>("position");
        QTest::newRow("steps are ignored while idle") << false << 0 << 7 << -1 << 1 << -1;
        QTest::newRow("outside a folder zip the count stops at 100")
            << true << 0 << 0 << 100 << 151 << 100;
        QTest::newRow("a reset starts the count afresh") << true << 0 << 42 << 100 << 1 << 1;
        // The worker posts the reset, finishes and stores 100 before the UI thread handles
        // the reset: the bar must still end full.
        QTest::newRow("a late reset keeps the worker's final 100")
            << true << 0 << 100 << 100 << 1 << 100;
        QTest::newRow("a folder zip counts every step, past 16 bits")
            << true << 70001 << 0 << 70001 << 70001 << 70001;
        QTest::newRow("a folder zip's reset always starts from zero")
            << true << 500 << 250 << 500 << 1 << 1;
        QTest::newRow("an empty folder is full after the first step")
            << true << 1 << 0 << 1 << 1 << 1;
    }
    void stepsMoveTheBar() {
        QFETCH(bool, busy);
        QFETCH(int, folderTotal);
        QFETCH(int, countBefore);
        QFETCH(int, maximum);
        QFETCH(int, steps);
        QFETCH(int, position);
        OperationState state;
        state.busy = busy;
        state.zipSelected = state.zipFolder = folderTotal > 0;
        state.stepTotal = folderTotal;
        state.progressCount = countBefore;
        if (maximum >= 0)
            QCOMPARE(OnProgressReset(state).maximum, maximum);
        std::optional<int> last;
        for (int i = 0; i < steps; ++i)
            last = OnProgressStep(state);
        QCOMPARE(last.value_or(-1), position);
        QCOMPARE(state.progressCount.load(), position < 0 ? countBefore : position);
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
    // left; and a ticker whose work has ended claims nothing in the next one.
    void tickerFollowsTheBytes() {
        OperationState state;
        auto report = std::make_shared<RecordingReport>();
        state.reportWindow.Set(report);
        state.busy = true;
        const auto steps = [&report] { return report->Count(RecordingReport::Record::Step); };
        {
            TickedWork work(state, 1000, 95);
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
        QTRY_COMPARE(RunningThreadCount(), 0);
    }

    void startedThreadsAreCountedUntilTheyReturn() {
        static std::atomic<bool> release{false};
        const int before = RunningThreadCount();
        BeginThread(
            [](void*) -> unsigned {
                while (!release)
                    std::this_thread::yield();
                return 0;
            },
            nullptr);
        QCOMPARE(RunningThreadCount(), before + 1);
        release = true;
        QTRY_COMPARE(RunningThreadCount(), before);
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

    // Rows in order: the unzip reads the archive the first row writes.
    void theBarFollowsTheBytes_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("output"); // what grows as the work is done
        QTest::newRow("zip a large file") << "zip"
                                          << "large.txt"
                                          << "large.txt.zip";
        QTest::newRow("zip a folder of one large file and a small one") << "zip folder"
                                                                        << "album"
                                                                        << "album.zip";
        QTest::newRow("unzip a large entry") << "unzip"
                                             << "unpack.zip"
                                             << "unpack/large.txt";
    }
    void theBarFollowsTheBytes() {
        QFETCH(QString, operation);
        QFETCH(QString, selected);
        QFETCH(QString, output);
        const bool unzip = operation == QLatin1String("unzip");
        // The archive of the first row, under a name whose folder nothing stands in the way of.
        if (unzip)
            QVERIFY(QFile::rename(m_dir.filePath("large.txt.zip"), m_dir.filePath(selected)));
        // Unzip writes the entry's bytes below the destination; zip writes the archive
        // (first under another name) in the folder of the selection.
        const QString destination = m_dir.filePath("unpack");
        const auto written = [&] {
            return unzip ? BytesBelow(destination, true)
                         : BytesBelow(m_dir.path(), false, m_dir.filePath("large.txt")) -
                               m_otherArchives;
        };
        WorkerRun run;
        std::atomic<bool> done{false};
        bool succeeded = false;
        std::thread worker([&] {
            succeeded = unzip ? run.Unzip(m_dir.filePath(selected)) == UnzipOutcome::Succeeded
                              : run.Zip(m_dir.filePath(selected), operation == "zip folder") ==
                                    ZipOutcome::Succeeded;
            done = true;
        });
        // When each sample was taken, the bytes written just before the bar was read, the bar,
        // and the bytes just after.
        QList<std::array<qint64, 4>> samples;
        QElapsedTimer clock;
        clock.start();
        while (!done) {
            const int range = run.state().PerFileMode() ? run.state().stepTotal.load() : 100;
            const qint64 before = written();
            const int bar = range > 0 ? BarPercent(run.report(), range) : 0;
            samples.append({clock.elapsed(), before, bar, written()});
            QThread::msleep(15);
        }
        worker.join();
        QVERIFY(succeeded);
        const qint64 total = QFileInfo(m_dir.filePath(output)).size();
        QVERIFY(total > 0);
        int during = 0;
        qsizetype caughtUp = 0; // the last sample the bar must have caught up with
        for (qsizetype i = 0; i < samples.size(); ++i) {
            const auto& [takenAt, rawBefore, bar, rawAfter] = samples[i];
            Q_UNUSED(rawBefore);
            while (caughtUp + 1 < i && samples[caughtUp + 1][0] <= takenAt - kTickerLatencyMs)
                ++caughtUp;
            const qint64 before = std::min(samples[caughtUp][1], total) * 100 / total;
            const qint64 after = std::min(rawAfter, total) * 100 / total;
            during += before > 5 && after < 95;
            QVERIFY2(bar >= before - kTolerance && bar <= after + kTolerance,
                     qPrintable(QString("the bar at %1%, the bytes at %2..%3%")
                                    .arg(bar)
                                    .arg(before)
                                    .arg(after)));
        }
        // Not a pass by default: the work took long enough to be seen under way.
        QVERIFY2(during >= 3, qPrintable(QStringLiteral("%1 samples under way").arg(during)));
        if (!unzip)
            m_otherArchives += total;
    }

private:
    QTemporaryDir m_dir;
    qint64 m_otherArchives = 0; // archives the earlier rows left beside the selection
};

QTEST_GUILESS_MAIN(TestProgress)
#include "tst_progress.moc"
