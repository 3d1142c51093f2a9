#include "operation/ProgressTicker.h"

#include "operation/OperationState.h"
#include "operation/ThreadStart.h"

#include <chrono>
#include <memory>
#include <thread>

namespace {

// Often enough that the bar and the command line's line look fluid, seldom enough to cost
// nothing.
constexpr std::chrono::milliseconds kLookPeriod{40};

struct TickerStart {
    OperationState* state;
    std::uint32_t run;
};

} // namespace

TickedWork::TickedWork(OperationState& state, std::uint64_t totalBytes, int tickerCap)
    : m_state(state), m_run(state.work.Begin(totalBytes, tickerCap)) {
    BeginThread(ProgressTicker, new TickerStart{&state, m_run});
}

TickedWork::~TickedWork() {
    Finish();
}

std::atomic<std::uint64_t>* TickedWork::Counter() {
    return m_state.work.Counter();
}

int TickedWork::Finish() {
    if (m_finished)
        return 0;
    m_finished = true;
    return m_state.work.End(m_run);
}

unsigned ProgressTicker(void* parameter) {
    const std::unique_ptr<TickerStart> start(static_cast<TickerStart*>(parameter));
    OperationState& state = *start->state;
    while (state.busy && state.work.TickerMayClaim(start->run)) {
        std::this_thread::sleep_for(kLookPeriod);
        for (int steps = state.work.ClaimSteps(start->run); steps > 0; --steps)
            state.reportWindow.Post(ProgressMessage::Step);
    }
    return 0;
}
