#pragma once

#include "operation/OperationState.h"

#include <cstdint>
#include <optional>

// What the windows do on the progress reports, without the widgets: each function updates the
// shared state and returns what the bar should show.

struct ProgressRange {
    int minimum = 0;
    int maximum = 100;
};

// A step: ignored while no operation runs; otherwise the count goes up by one (capped at 100
// outside per-file mode) and the bar shows the count.
std::optional<int> OnProgressStep(OperationState& state);

// A reset: the count starts at 0 on a range of 0..stepTotal (folder zip) or 0..100. A final
// 100 that the worker stored before the reset was handled is kept.
ProgressRange OnProgressReset(OperationState& state);
