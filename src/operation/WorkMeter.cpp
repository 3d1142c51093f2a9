#include "operation/WorkMeter.h"

#include <algorithm>

std::uint32_t WorkMeter::Begin(std::uint64_t totalBytes, int tickerCap) {
    m_done = 0;
    m_total = totalBytes;
    m_tickerCap = std::clamp(tickerCap, 0, StepsPerRun);
    const std::uint32_t run = static_cast<std::uint32_t>(m_runAndClaimed.load() >> 32) + 1;
    m_runAndClaimed = Pack(run, 0);
    return run;
}

int WorkMeter::End(std::uint32_t run) {
    std::uint64_t packed = m_runAndClaimed.load();
    while (static_cast<std::uint32_t>(packed >> 32) == run) {
        // The next number belongs to no run, so no ticker finds its own in it.
        if (m_runAndClaimed.compare_exchange_weak(packed, Pack(run + 1, 0)))
            return StepsPerRun - static_cast<int>(static_cast<std::uint32_t>(packed));
    }
    return 0;
}

int WorkMeter::ClaimSteps(std::uint32_t run) {
    const std::uint64_t total = m_total.load();
    // The readers' counts may pass the total a little (a block read twice); the bar does not.
    const std::uint64_t done = std::min(m_done.load(), total);
    const int worth =
        total == 0 ? 0
                   : static_cast<int>(static_cast<unsigned __int128>(done) * StepsPerRun / total);
    const auto target = static_cast<std::uint32_t>(std::min(worth, m_tickerCap.load()));
    std::uint64_t packed = m_runAndClaimed.load();
    for (;;) {
        const auto claimed = static_cast<std::uint32_t>(packed);
        if (static_cast<std::uint32_t>(packed >> 32) != run || target <= claimed)
            return 0;
        if (m_runAndClaimed.compare_exchange_weak(packed, Pack(run, target)))
            return static_cast<int>(target - claimed);
    }
}

bool WorkMeter::TickerMayClaim(std::uint32_t run) const {
    const std::uint64_t packed = m_runAndClaimed.load();
    return static_cast<std::uint32_t>(packed >> 32) == run &&
           static_cast<int>(static_cast<std::uint32_t>(packed)) < m_tickerCap.load();
}

void WorkMeter::SetCurrent(const QString& name) {
    std::lock_guard lock(m_currentMutex);
    m_current = name;
}

QString WorkMeter::Current() const {
    // A copy of its own rather than a share of m_current's buffer: the reader is another thread,
    // and a buffer shared across threads is freed by whichever side lets go last, inside Qt,
    // where ThreadSanitizer cannot see the reference count that orders it.
    std::lock_guard lock(m_currentMutex);
    return QString(m_current.constData(), m_current.size());
}
