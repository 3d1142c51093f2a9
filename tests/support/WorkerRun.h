#pragma once

#include "archive/UnzipWorker.h"
#include "archive/ZipWorker.h"
#include "operation/OperationState.h"
#include "support/RecordingReport.h"

#include <QString>

#include <memory>

// One worker run on a fresh OperationState with a recording report target. The state outlives
// the run until every ticker it started has ended, so no thread is left pointing at it.
class WorkerRun {
public:
    WorkerRun();
    ~WorkerRun();

    OperationState& state() { return *m_state; }
    RecordingReport& report() { return *m_report; }

    // The worker run on this selection, as the start commands leave it.
    UnzipOutcome Unzip(const QString& archive);
    ZipOutcome Zip(const QString& path, bool folder);

    // The reports without the steps, e.g. "Reset Message Folder Finished".
    QString Milestones() const;
    // Steps recorded between the first reset and the first message: the bar a window shows.
    int StepsAfterReset() const;

private:
    std::unique_ptr<OperationState> m_state;
    std::shared_ptr<RecordingReport> m_report;
};
