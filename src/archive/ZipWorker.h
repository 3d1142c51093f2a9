#pragma once

#include "operation/OperationState.h"

#include <QString>

enum class ZipOutcome {
    Refused,   // nothing was selected for zipping
    Succeeded, // the archive was written
    Failed,    // an error ended the run; no archive was left behind
    Stopped,   // stopped from outside; no archive was left behind
};

// The archive a selection is packed into: the selected path (resolved, ResolvedPath) with ".zip"
// appended.
QString ZipArchivePathFor(const QString& selectedPath);

// Packs the selected file or folder into an archive beside it, reporting to state.reportWindow.
ZipOutcome RunZip(OperationState& state);

// Thread procedure around RunZip; the parameter is the OperationState.
unsigned ZipWorker(void* state);
