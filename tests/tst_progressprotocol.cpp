// The progress bar's arithmetic and the ticker, driven through the shared state as the windows
// and the workers drive it.

#include "operation/OperationState.h"
#include "operation/ProgressProtocol.h"
#include "operation/ProgressTicker.h"
#include "operation/ThreadStart.h"
#include "support/RecordingReport.h"

#include <QTest>

#include <optional>
#include <thread>

class TestProgressProtocol : public QObject {
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

    void tickPeriodGrowsOneMillisecondPer495000Bytes_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("period");
        QTest::newRow("empty") << qint64(0) << qint64(1);
        QTest::newRow("just below a step") << qint64(494999) << qint64(1);
        QTest::newRow("one step") << qint64(495000) << qint64(2);
        QTest::newRow("100 MiB") << qint64(104857600) << qint64(212);
        QTest::newRow("5 GiB, past 32 bits") << qint64(5368709120) << qint64(10846);
        QTest::newRow("negative size") << qint64(-5) << qint64(1);
    }
    void tickPeriodGrowsOneMillisecondPer495000Bytes() {
        QFETCH(qint64, size);
        QFETCH(qint64, period);
        QCOMPARE(TickPeriodFor(size), period);
    }

    void tickerSteps_data() {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<int>("steps");
        QTest::newRow("at most 95 steps while the operation runs") << true << 95;
        QTest::newRow("once more after the end, then it stops") << false << 1;
    }
    void tickerSteps() {
        QFETCH(bool, busy);
        QFETCH(int, steps);
        OperationState state;
        auto report = std::make_shared<RecordingReport>();
        state.reportWindow.Set(report);
        state.busy = busy;
        state.tickPeriod = 1;
        ProgressTicker(&state);
        QCOMPARE(report->Count(RecordingReport::Record::Step), steps);
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
};

QTEST_GUILESS_MAIN(TestProgressProtocol)
#include "tst_progressprotocol.moc"
