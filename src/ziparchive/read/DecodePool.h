#pragma once

#include "ziparchive/read/ArchiveView.h"
#include "ziparchive/read/StageEntry.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

struct EntryPlan;
class ThreadBudget;

// Decodes entries ahead of the caller on worker threads, each with its own read-only libzip
// handle, staging them in the staging folder. Entries are claimed in index order and only within
// a window ahead of the last one taken (a number of entries and of declared bytes, so the disk
// and memory used ahead stay bounded); the caller takes results strictly in order and decides
// alone what is committed. The workers start with the first Take.
class DecodePool {
public:
    struct Window {
        std::uint64_t entries;
        std::uint64_t bytes;
    };

    // One worker per archive handle; the workers and a large entry's helpers share `budget`.
    DecodePool(std::vector<ZipHandle> archives, const std::vector<EntryPlan>& plans, int stagingFd,
               Window window, ThreadBudget& budget);
    // Cancels work in progress and waits for the workers; what they staged stays for the staging
    // folder's removal.
    ~DecodePool();
    DecodePool(const DecodePool&) = delete;
    DecodePool& operator=(const DecodePool&) = delete;

    // A flag raised from outside to stop: Take stops waiting and answers Cancelled, and the
    // workers give up what they decode. Set before the first Take; nullptr: never stopped.
    void SetStopFlag(const std::atomic<bool>* stop) { m_stopRequest = stop; }

    // Waits for the entry's result. Entries before it that were not taken are dropped. Nothing
    // when the entry was taken (or dropped) before: the caller then decodes it itself.
    std::optional<StagedEntry> Take(std::uint64_t index);

private:
    struct Slot {
        bool done = false;
        StagedEntry result;
    };

    void Start();
    void Work(zip_t* archive);
    bool CanClaim() const;
    void Drop(std::uint64_t index, const StagedEntry& result);

    std::vector<ZipHandle> m_archives;
    const std::vector<EntryPlan>& m_plans;
    const int m_stagingFd;
    const Window m_window;
    ThreadBudget& m_budget;

    std::mutex m_mutex;
    std::condition_variable m_workAvailable;
    std::condition_variable m_resultReady;
    std::atomic<bool> m_cancel{false};
    const std::atomic<bool>* m_stopRequest = nullptr;
    bool m_stop = false;            // guarded by m_mutex, as is everything below
    std::uint64_t m_next = 0;       // the next entry a worker claims
    std::uint64_t m_taken = 0;      // entries before this one were taken or dropped
    std::uint64_t m_bytesAhead = 0; // declared bytes of entries claimed and not yet taken
    std::map<std::uint64_t, Slot> m_slots;
    std::vector<std::thread> m_threads;
};
