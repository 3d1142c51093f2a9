#pragma once

#include "operation/ReportTarget.h"
#include "operation/WorkMeter.h"

#include <QString>

#include <atomic>
#include <cstdint>

// The selection and the one running operation, shared by the UI thread, the worker and the
// ticker. Flags and counters are atomic; selectedPath is written by the UI thread only while no
// operation runs, and is handed to the worker by the thread start.
struct OperationState {
    std::atomic<bool> busy{false};              // an operation is running
    std::atomic<std::int32_t> stepTotal{0};     // range maximum of a folder zip: files + 1
    std::atomic<bool> zipFolder{false};         // the zip selection is a folder
    std::atomic<bool> unzipSelected{false};     // an archive is selected for unzipping
    std::atomic<bool> zipSelected{false};       // a file or folder is selected for zipping
    ReportHandle reportWindow;                  // receives the reports of the operation
    std::atomic<bool> failed{false};            // the running operation has failed
    std::atomic<bool> directMode{false};        // started with an archive on the command line
    std::atomic<std::int32_t> progressCount{0}; // position of the progress bar
    // Raised to stop the running operation (the window closed, a signal): the worker stops and
    // takes back what it wrote. Lock-free, so a signal handler may raise it; never lowered, as
    // the process ends after a stop.
    std::atomic<bool> stopRequested{false};
    std::atomic<unsigned> unzipThreads{0}; // threads an unzip may use; 0: one per CPU
    QString selectedPath;                  // the archive to unzip, or the file or folder to zip
    WorkMeter work;                        // the bytes the running operation has read or written

    // Per-file mode: a folder zip is selected or running; every step then counts.
    bool PerFileMode() const { return zipSelected && zipFolder; }

    // The process-wide instance. It is never destroyed, so a worker still running while the
    // process ends never sees it torn down.
    static OperationState& Instance();
};
