#include "ziparchive/read/DecodePool.h"

#include "ziparchive/CZipException.h"
#include "ziparchive/read/EntryPlan.h"
#include "ziparchive/read/StagingArea.h"

#include <algorithm>
#include <chrono>
#include <exception>

DecodePool::DecodePool(unsigned workers, int archiveFd, const EntryPlans& plans,
                       const StagingArea& staging, Window window, ThreadBudget& budget,
                       Bzip2SplitTeam& team)
    : m_workers(workers), m_archiveFd(archiveFd), m_plans(plans), m_staging(staging),
      m_window(window), m_budget(budget), m_team(team) {}

DecodePool::~DecodePool() {
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_cancel.store(true);
    m_workAvailable.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
}

void DecodePool::Start() {
    try {
        for (unsigned i = 0; i < std::min(m_workers, kMostWorkers); ++i)
            m_threads.emplace_back(&DecodePool::Work, this);
    } catch (const std::exception& error) {
        if (m_threads.empty())
            throw CZipException(std::string("cannot start decoding: ") + error.what());
    }
}

bool DecodePool::CanClaim() const {
    if (m_next >= m_plans.size() || m_next >= m_taken + m_window.entries)
        return false;
    const std::uint64_t cost = m_plans[m_next].size;
    return m_bytesAhead == 0 || (cost <= m_window.bytes && m_bytesAhead + cost <= m_window.bytes);
}

// Each wake-up of the taker costs a switch on both cores, and it has little to do per entry, so
// it is woken once the entry it waits for and the next few are done, or when this worker can
// claim nothing more until the taker moves on. Otherwise it looks again within its wait's period.
bool DecodePool::TakerShouldWake() const {
    if (!m_awaited)
        return false;
    std::uint64_t done = 0;
    for (auto it = m_slots.find(*m_awaited); it != m_slots.end() && done < kWakeBatch &&
                                             it->first == *m_awaited + done && it->second.done;
         ++it)
        ++done;
    return done == kWakeBatch || (done > 0 && !CanClaim());
}

void DecodePool::Drop(std::uint64_t index, const std::optional<StagedEntry>& result) {
    if (result && result->staged && !result->file.IsOpen())
        m_staging.RemoveTemporary(index);
    m_bytesAhead -= m_plans[index].size;
    m_slots.erase(index);
}

void DecodePool::Work() {
    EntryDecoder decoder(m_archiveFd, m_budget, &m_team);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_workAvailable.wait(lock, [this] { return m_stop || CanClaim(); });
        if (m_stop)
            return;
        const std::uint64_t index = m_next++;
        m_bytesAhead += m_plans[index].size;
        m_slots[index];
        lock.unlock();
        std::optional<StagedEntry> result;
        if (!EntryDecoder::NeedsLibzip(m_plans[index])) {
            result.emplace();
            try {
                *result = StageEntry(nullptr, index, m_plans[index], &m_staging, decoder, m_cancel,
                                     m_progress);
            } catch (const std::exception& error) {
                result->decode = {DecodeStatus::ReadFailed, 0, error.what()};
            }
        }
        lock.lock();
        if (index < m_taken) {
            Drop(index, result);
            m_workAvailable.notify_all();
            if (TakerShouldWake())
                m_resultReady.notify_one();
            continue;
        }
        Slot& slot = m_slots[index];
        slot.done = true;
        slot.result = std::move(result);
        if (TakerShouldWake())
            m_resultReady.notify_one();
    }
}

std::optional<StagedEntry> DecodePool::Take(std::uint64_t index) {
    if (m_threads.empty())
        Start();
    std::unique_lock lock(m_mutex);
    if (index < m_taken)
        return std::nullopt;
    // Skipped entries: drop what was staged for them; work still running on them is dropped
    // when it ends.
    for (auto it = m_slots.begin(); it != m_slots.end() && it->first < index;) {
        const auto current = it++;
        if (current->second.done)
            Drop(current->first, current->second.result);
    }
    m_taken = index;
    if (m_next < index)
        m_next = index;
    m_workAvailable.notify_all();
    const auto ready = [&] {
        const auto it = m_slots.find(index);
        return it != m_slots.end() && it->second.done;
    };
    // A large entry takes seconds; a stop is looked for while it decodes.
    m_awaited = index;
    while (!m_resultReady.wait_for(lock, std::chrono::milliseconds(20), ready)) {
        if (m_stopRequest && m_stopRequest->load()) {
            m_awaited.reset();
            m_cancel.store(true);
            StagedEntry stopped;
            stopped.decode = {DecodeStatus::Cancelled, 0, "stopped"};
            return stopped;
        }
    }
    m_awaited.reset();
    std::optional<StagedEntry> result = std::move(m_slots[index].result);
    m_slots.erase(index);
    m_bytesAhead -= m_plans[index].size;
    m_taken = index + 1;
    m_workAvailable.notify_all();
    return result;
}
