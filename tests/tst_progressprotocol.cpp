// The progress bar's arithmetic and the ticker, driven through the shared state as the windows
// and the workers drive it.

#include "operation/OperationState.h"
#include "operation/ProgressProtocol.h"
#include "operation/ProgressTicker.h"
#include "operation/ThreadStart.h"
#include "support/RecordingReport.h"

#include <QTest>

#include <thread>

class TestProgressProtocol : public QObject {
    Q_OBJECT

private slots:
    void stepsAreIgnoredWhileIdle() {
        OperationState state;
        state.progressCount = 7;
        QVERIFY(!OnProgressStep(state).has_value());
        QCOMPARE(state.progressCount.load(), 7);
    }

    void countStopsAtHundredOutsideFolderZip() {
        OperationState state;
        state.busy = true;
        OnProgressReset(state);
        for (int i = 0; i < 150; ++i)
            OnProgressStep(state);
        QCOMPARE(state.progressCount.load(), 100);
        QCOMPARE(*OnProgressStep(state), 100);
    }

    void folderZipCountsEveryStepOnItsFullRange() {
        OperationState state;
        state.busy = state.zipSelected = state.zipFolder = true;
        state.stepTotal = 70001; // 70,000 files: wider than 16 bits
        const ProgressRange range = OnProgressReset(state);
        QCOMPARE(range.maximum, 70001);
        int position = 0;
        for (int i = 0; i < 70001; ++i)
            position = *OnProgressStep(state);
        QCOMPARE(position, 70001);
    }

    void emptyFolderIsFullAfterTheFirstStep() {
        OperationState state;
        state.busy = state.zipSelected = state.zipFolder = true;
        state.stepTotal = 1;
        QCOMPARE(OnProgressReset(state).maximum, 1);
        QCOMPARE(*OnProgressStep(state), 1);
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

    void resetStartsTheCountAfresh() {
        OperationState state;
        state.busy = true;
        state.progressCount = 42;
        QCOMPARE(OnProgressReset(state).maximum, 100);
        QCOMPARE(state.progressCount.load(), 0);
        QCOMPARE(*OnProgressStep(state), 1);
    }

    // The worker posts the reset, finishes and stores 100 before the UI thread handles the
    // reset: the bar must still end full.
    void resetHandledLateKeepsTheWorkersFinalHundred() {
        OperationState state;
        state.busy = true;
        state.progressCount = 100;
        OnProgressReset(state);
        QCOMPARE(state.progressCount.load(), 100);
        QCOMPARE(*OnProgressStep(state), 100);
    }

    void folderZipResetAlwaysStartsFromZero() {
        OperationState state;
        state.busy = state.zipSelected = state.zipFolder = true;
        state.stepTotal = 500;
        state.progressCount = 250;
        OnProgressReset(state);
        QCOMPARE(state.progressCount.load(), 0);
    }

    void tickPeriodGrowsOneMillisecondPer495000Bytes_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("period");
        QTest::newRow("empty") << qint64(0) << qint64(1);
        QTest::newRow("just below a step") << qint64(494999) << qint64(1);
        QTest::newRow("one step") << qint64(495000) << qint64(2);
        QTest::newRow("a million") << qint64(1000000) << qint64(3);
        QTest::newRow("10 MiB") << qint64(10485760) << qint64(22);
        QTest::newRow("100 MiB") << qint64(104857600) << qint64(212);
        QTest::newRow("5 GiB, past 32 bits") << qint64(5368709120) << qint64(10846);
        QTest::newRow("negative size") << qint64(-5) << qint64(1);
    }
    void tickPeriodGrowsOneMillisecondPer495000Bytes() {
        QFETCH(qint64, size);
        QFETCH(qint64, period);
        QCOMPARE(TickPeriodFor(size), period);
    }

    void tickerPostsAtMost95Steps() {
        OperationState state;
        auto report = std::make_shared<RecordingReport>();
        state.reportWindow.Set(report);
        state.busy = true;
        state.tickPeriod = 1;
        ProgressTicker(&state);
        QCOMPARE(report->Count(RecordingReport::Record::Step), 95);
    }

    void tickerPostsOnceMoreAfterTheEndAndStops() {
        OperationState state;
        auto report = std::make_shared<RecordingReport>();
        state.reportWindow.Set(report);
        state.busy = false;
        state.tickPeriod = 1;
        ProgressTicker(&state);
        QCOMPARE(report->Count(RecordingReport::Record::Step), 1);
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
