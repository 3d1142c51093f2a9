#include "operation/ProgressProtocol.h"

#include <algorithm>

std::optional<int> OnProgressStep(OperationState& state) {
    if (!state.busy)
        return std::nullopt;
    // The worker stores 100 once the archive is closed; a compare-and-swap keeps that store from
    // being overwritten by a step that read the count just before it.
    std::int32_t count = state.progressCount.load();
    while (count < 100 || state.PerFileMode()) {
        if (state.progressCount.compare_exchange_weak(count, count + 1)) {
            ++count;
            break;
        }
    }
    return count;
}

ProgressRange OnProgressReset(OperationState& state) {
    // A worker that is quick about a small archive stores its final 100 before the UI thread
    // gets round to the reset it posted earlier; zeroing the count then would leave the bar
    // short at the end. Outside per-file mode a count of 100 is that final value, and it stays.
    std::int32_t count = state.progressCount.load();
    while ((count < 100 || state.PerFileMode()) &&
           !state.progressCount.compare_exchange_weak(count, 0)) {
    }
    if (state.PerFileMode())
        return {0, std::max<std::int32_t>(state.stepTotal, 0)};
    return {0, 100};
}
