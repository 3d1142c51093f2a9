#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>

// How far the running operation's work has got in bytes, and what it is on. The archive class
// advances the counter as it reads or writes, the ticker turns it into the bar's steps, and the
// command line shows it.
//
// One measured piece of work is a run: Begin starts one and returns its number, End finishes
// it. The bar's share of a run is 100 steps; they are claimed as the bytes come in, by the
// ticker up to a cap and by the worker for whatever is left at the end, each step once. A ticker
// of a run that ended claims nothing, so it cannot step into the next operation.
class WorkMeter {
public:
    static constexpr int StepsPerRun = 100;

    std::uint32_t Begin(std::uint64_t totalBytes, int tickerCap);
    // Ends the run and gives the steps of its share not yet claimed.
    int End(std::uint32_t run);
    // The steps the bytes done are worth beyond those already claimed, up to the cap; claimed
    // now. 0 once the run has ended.
    int ClaimSteps(std::uint32_t run);
    // The run goes on and its ticker may still have steps to claim.
    bool TickerMayClaim(std::uint32_t run) const;

    // The counter the archive class advances.
    std::atomic<std::uint64_t>* Counter() { return &m_done; }
    std::uint64_t Done() const { return m_done.load(std::memory_order_relaxed); }
    std::uint64_t Total() const { return m_total.load(std::memory_order_relaxed); }

    // The entry or file being worked on, for the command line's progress line.
    void SetCurrent(const QString& name);
    QString Current() const;

private:
    static std::uint64_t Pack(std::uint32_t run, std::uint32_t claimed) {
        return (std::uint64_t{run} << 32) | claimed;
    }

    std::atomic<std::uint64_t> m_done{0};
    std::atomic<std::uint64_t> m_total{0};
    std::atomic<int> m_tickerCap{0};
    std::atomic<std::uint64_t> m_runAndClaimed{0}; // run number above, steps claimed below
    mutable std::mutex m_currentMutex;
    QString m_current;
};
