#pragma once

// Advances the bar while an operation whose length cannot be foreseen runs: sleeps tickPeriod
// milliseconds, posts a step, and ends once the operation is over or after 95 steps.
// The parameter is the OperationState to report on.
unsigned ProgressTicker(void* state);
