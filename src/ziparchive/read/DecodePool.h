#pragma once

#include "ziparchive/read/StageEntry.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class Bzip2SplitTeam;
class EntryPlans;
class StagingArea;
class ThreadBudget;

// Decodes entries ahead of the caller on worker threads, reading the archive file directly,
// staging them in the staging folder. Entries decoded through libzip are left to the caller and
// its handle: a handle per worker would hold the whole directory once more each. Entries are
// claimed in index order and only within a window ahead of the last one taken (a number of entries
// and of declared bytes, so the disk and memory used ahead stay bounded); the caller takes results
// strictly in order and decides alone what is committed. The workers start with the first Take.
class DecodePool {
public:
    struct Window {
        std::uint64_t entries;
        std::uint64_t bytes;
    };

    // At most this many workers run, whatever is asked: each may hold a few megabytes of
    // buffers and decoder arrays, and past this the disk, not the cores, sets the pace.
    static constexpr unsigned kMostWorkers = 8;
    // Entries done in a row, from the one Take waits for, that wake it.
    static constexpr std::uint64_t kWakeBatch = 8;

    // `workers` threads read the archive file archiveFd; they and a large entry's helpers share
    // `budget`, and the team's decoders decode that entry's blocks. The descriptor, the plans,
    // the staging folder, the budget and the team are borrowed.
    DecodePool(unsigned workers, int archiveFd, const EntryPlans& plans, const StagingArea& staging,
               Window window, ThreadBudget& budget, Bzip2SplitTeam& team);
    // Cancels work in progress and waits for the workers; what they staged stays for the staging
    // folder's removal.
    ~DecodePool();
    DecodePool(const DecodePool&) = delete;
    DecodePool& operator=(const DecodePool&) = delete;

    // A flag raised from outside to stop: Take stops waiting and answers Cancelled, and the
    // workers give up what they decode. Set before the first Take; nullptr: never stopped.
    void SetStopFlag(const std::atomic<bool>* stop) { m_stopRequest = stop; }
    // Where the workers count the compressed bytes of what they have written (see StageEntry).
    // Set before the first Take; nullptr: not counted.
    void SetProgressCounter(const ProgressCounterSlot* progress) { m_progress = progress; }

    // Waits for the entry's result. Entries before it that were not taken are dropped. Nothing
    // when the entry was taken (or dropped) before, or needs libzip: the caller then decodes it
    // itself.
    std::optional<StagedEntry> Take(std::uint64_t index);

private:
    struct Slot {
        bool done = false;
        std::optional<StagedEntry> result; // nothing: left to the caller
    };

    void Start();
    void Work();
    bool CanClaim() const;
    bool TakerShouldWake() const;
    void Drop(std::uint64_t index, const std::optional<StagedEntry>& result);

    const unsigned m_workers;
    const int m_archiveFd;
    const EntryPlans& m_plans;
    const StagingArea& m_staging;
    const Window m_window;
    ThreadBudget& m_budget;
    Bzip2SplitTeam& m_team;

    std::mutex m_mutex;
    std::condition_variable m_workAvailable;
    std::condition_variable m_resultReady;
    std::atomic<bool> m_cancel{false};
    const std::atomic<bool>* m_stopRequest = nullptr;
    const ProgressCounterSlot* m_progress = nullptr;
    bool m_stop = false;                    // guarded by m_mutex, as is everything below
    std::uint64_t m_next = 0;               // the next entry a worker claims
    std::uint64_t m_taken = 0;              // entries before this one were taken or dropped
    std::optional<std::uint64_t> m_awaited; // the entry Take waits for, if it waits
    std::uint64_t m_bytesAhead = 0;         // declared bytes of entries claimed and not yet taken
    std::map<std::uint64_t, Slot> m_slots;
    std::vector<std::thread> m_threads;
};
