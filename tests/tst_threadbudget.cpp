// How many threads the reader and the writer run: sized from the CPUs this process may use, and
// one budget shared by the decode workers and a large entry's helpers.

#include "ziparchive/ThreadBudget.h"

#include <QTest>

#include <sched.h>

#include <future>
#include <optional>
#include <tuple>
#include <vector>

namespace {

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

} // namespace

class TestThreadBudget : public QObject {
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(TestThreadBudget)
#include "tst_threadbudget.moc"
