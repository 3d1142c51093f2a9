#pragma once

#include <atomic>
#include <cstdint>

struct OperationState;

// A piece of work whose bar follows the bytes read or written, with the ticker thread that
// moves it: every few milliseconds the ticker posts the steps the bytes done have earned, up to
// tickerCap, and ends once the work or the operation is over or the cap is reached. Make it
// after the reset was posted; the archive class advances Counter().
class TickedWork {
public:
    TickedWork(OperationState& state, std::uint64_t totalBytes, int tickerCap);
    // Ends the work if Finish did not.
    ~TickedWork();
    TickedWork(const TickedWork&) = delete;
    TickedWork& operator=(const TickedWork&) = delete;

    std::atomic<std::uint64_t>* Counter();
    // Ends the work: the ticker claims nothing more. Returns the steps of the work's 100 that
    // were not posted, for a worker that posts them itself.
    int Finish();

private:
    OperationState& m_state;
    std::uint32_t m_run;
    bool m_finished = false;
};

// The ticker's thread procedure; the parameter is what TickedWork hands it.
unsigned ProgressTicker(void* start);
