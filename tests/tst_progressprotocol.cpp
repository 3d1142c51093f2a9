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
};

QTEST_GUILESS_MAIN(TestProgressProtocol)
#include "tst_progressprotocol.moc"
