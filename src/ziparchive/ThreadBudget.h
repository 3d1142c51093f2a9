#pragma once

#include <condition_variable>
#include <mutex>

// The threads this process may run side by side: `requested` when it is not 0, otherwise the
// CPUs in its affinity mask, so that a container's or taskset's limit is respected where the
// machine's count of cores would oversubscribe it. Never 0.
unsigned ThreadCountFor(unsigned requested);

// The threads one extraction may keep busy at once, shared by the workers that decode entries
// and the helpers a large entry's decoding adds. A worker holds one while it decodes, and waits
// for one to come free; helpers take only what is free when the entry starts. So N workers
// with N helpers each never run as N×N threads.
class ThreadBudget {
public:
    explicit ThreadBudget(unsigned total);
    ThreadBudget(const ThreadBudget&) = delete;
    ThreadBudget& operator=(const ThreadBudget&) = delete;

    unsigned Total() const { return m_total; }

    // Threads taken from the budget, given back when it goes.
    class Lease {
    public:
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&&) = delete;
        ~Lease();
        unsigned Count() const { return m_count; }

    private:
        friend class ThreadBudget;
        Lease(ThreadBudget* budget, unsigned count) : m_budget(budget), m_count(count) {}
        ThreadBudget* m_budget;
        unsigned m_count;
    };

    // One thread for a worker with an entry to decode, once one is free.
    Lease Worker();
    // Up to `wanted` threads, as many as are free now; maybe none.
    Lease Helpers(unsigned wanted);

private:
    void GiveBack(unsigned count);

    const unsigned m_total;
    std::mutex m_mutex;
    std::condition_variable m_freed;
    unsigned m_free; // guarded by m_mutex
};
