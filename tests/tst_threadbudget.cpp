// How many threads the reader and the writer run: sized from the CPUs this process may use, and
// one budget shared by the decode workers and a large entry's helpers.

#include "ziparchive/ThreadBudget.h"

#include <QTest>

#include <sched.h>

#include <future>
#include <optional>
#include <thread>
#include <vector>

namespace {

// ThreadCountFor(requested) on a thread allowed only the first `cpus` CPUs of this process's
// mask; nothing when the mask has fewer.
std::optional<unsigned> CountOnCpus(int cpus, unsigned requested) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < cpus)
        return std::nullopt;
    cpu_set_t narrowed;
    CPU_ZERO(&narrowed);
    for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < cpus; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            CPU_SET(cpu, &narrowed);
            ++taken;
        }
    }
    // On a thread of its own, so the test's own threads keep their mask.
    return std::async(std::launch::async,
                      [&]() -> std::optional<unsigned> {
                          if (::sched_setaffinity(0, sizeof narrowed, &narrowed) != 0)
                              return std::nullopt;
                          return ThreadCountFor(requested);
                      })
        .get();
}

} // namespace

class TestThreadBudget : public QObject {
    Q_OBJECT

private slots:
    void countFollowsTheAffinityMask_data() {
        QTest::addColumn<int>("cpus");
        QTest::addColumn<unsigned>("requested");
        QTest::addColumn<unsigned>("expected");
        QTest::newRow("one CPU allowed, as under taskset -c 0") << 1 << 0u << 1u;
        QTest::newRow("two CPUs allowed") << 2 << 0u << 2u;
        QTest::newRow("a count asked for wins over the mask") << 1 << 3u << 3u;
    }
    void countFollowsTheAffinityMask() {
        QFETCH(int, cpus);
        QFETCH(unsigned, requested);
        QFETCH(unsigned, expected);
        const std::optional<unsigned> count = CountOnCpus(cpus, requested);
        if (!count)
            QSKIP("this machine does not let the test narrow its CPUs that far");
        QCOMPARE(*count, expected);
    }

    void helpersTakeOnlyWhatWorkersLeave_data() {
        QTest::addColumn<unsigned>("total");
        QTest::addColumn<int>("workers");
        QTest::addColumn<unsigned>("wanted");
        QTest::addColumn<unsigned>("granted");
        QTest::newRow("one worker alone gets the rest") << 4u << 1 << 3u << 3u;
        QTest::newRow("every thread busy: no helpers") << 4u << 4 << 3u << 0u;
        QTest::newRow("two of three busy: one helper") << 3u << 2 << 2u << 1u;
        QTest::newRow("single thread budget") << 1u << 1 << 5u << 0u;
    }
    void helpersTakeOnlyWhatWorkersLeave() {
        QFETCH(unsigned, total);
        QFETCH(int, workers);
        QFETCH(unsigned, wanted);
        QFETCH(unsigned, granted);
        ThreadBudget budget(total);
        std::vector<ThreadBudget::Lease> busy;
        for (int i = 0; i < workers; ++i)
            busy.push_back(budget.Worker());
        {
            const ThreadBudget::Lease helpers = budget.Helpers(wanted);
            QCOMPARE(helpers.Count(), granted);
        }
        busy.clear();
        // Everything given back: the whole budget is free again.
        QCOMPARE(budget.Helpers(total).Count(), total);
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

QTEST_GUILESS_MAIN(TestThreadBudget)
#include "tst_threadbudget.moc"
