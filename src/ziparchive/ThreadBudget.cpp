#include "ziparchive/ThreadBudget.h"

#include <sched.h>

#include <algorithm>
#include <thread>
#include <utility>

unsigned ThreadCountFor(unsigned requested) {
    if (requested != 0)
        return requested;
    cpu_set_t cores;
    CPU_ZERO(&cores);
    if (::sched_getaffinity(0, sizeof cores, &cores) == 0 && CPU_COUNT(&cores) > 0)
        return static_cast<unsigned>(CPU_COUNT(&cores));
    return std::max(1u, std::thread::hardware_concurrency());
}

ThreadBudget::ThreadBudget(unsigned total) : m_total(std::max(1u, total)), m_free(m_total) {}

ThreadBudget::Lease::Lease(Lease&& other) noexcept
    : m_budget(std::exchange(other.m_budget, nullptr)), m_count(std::exchange(other.m_count, 0)) {}

ThreadBudget::Lease::~Lease() {
    if (m_budget && m_count > 0)
        m_budget->GiveBack(m_count);
}

ThreadBudget::Lease ThreadBudget::Worker() {
    std::unique_lock lock(m_mutex);
    m_freed.wait(lock, [this] { return m_free > 0; });
    --m_free;
    return Lease(this, 1);
}

ThreadBudget::Lease ThreadBudget::Helpers(unsigned wanted) {
    const std::lock_guard lock(m_mutex);
    const unsigned taken = std::min(wanted, m_free);
    m_free -= taken;
    return Lease(this, taken);
}

void ThreadBudget::GiveBack(unsigned count) {
    {
        const std::lock_guard lock(m_mutex);
        m_free += count;
    }
    m_freed.notify_all();
}
