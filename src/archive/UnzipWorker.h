#pragma once

#include "operation/OperationState.h"

enum class UnzipOutcome {
    Refused,   // no archive was selected
    Succeeded, // every entry passed its test and was extracted
    Corrupted, // an entry failed its test; the entries before it were extracted
    Failed,    // an error ended the run
    Stopped,   // stopped from outside; nothing of the run is left
};

// Unpacks the selected archive into the folder beside it, reporting to state.reportWindow.
UnzipOutcome RunUnzip(OperationState& state);

// Thread procedure around RunUnzip; the parameter is the OperationState.
unsigned UnzipWorker(void* state);
