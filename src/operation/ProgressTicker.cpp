#include "operation/ProgressTicker.h"

#include "operation/OperationState.h"

#include <chrono>
#include <thread>

unsigned ProgressTicker(void* parameter) {
    auto& state = *static_cast<OperationState*>(parameter);
    for (int ticks = 0;;) {
        const auto period = static_cast<std::uint32_t>(state.tickPeriod.load());
        std::this_thread::sleep_for(std::chrono::milliseconds(period));
        state.reportWindow.Post(ProgressMessage::Step);
        if (!state.busy || ++ticks >= 95)
            return 0;
    }
}
