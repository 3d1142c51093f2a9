#pragma once

#include "archive/UnzipWorker.h"
#include "archive/ZipWorker.h"
#include "operation/OperationState.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// One worker run on a fresh OperationState, with a report target that writes down everything
// the worker reports, in order, and answers every message at once. The state outlives the run
// until every ticker it started has ended, so no thread is left pointing at it.
class WorkerRun {
public:
    WorkerRun();
    ~WorkerRun();

    OperationState& state() { return *m_state; }
    // What this is given runs once, when the worker posts its reset: after it has chosen where
    // its result goes and before it writes anything there.
    void RunAtReset(std::function<void()> once);

    // The worker run on this selection, as the start commands leave it.
    UnzipOutcome Unzip(const QString& archive);
    ZipOutcome Zip(const QString& path, bool folder);

    // Every report by its kind, in order: "Step", "Finished", "Reset", "Message", "Folder", "End".
    QStringList Reports() const;
    // The reports without the steps, e.g. "Reset Message Folder Finished".
    QString Milestones() const;
    // Steps recorded between the first reset and the first message: the bar a window shows.
    int StepsAfterReset() const;
    QStringList Messages() const; // "caption|text" of every message, in order
    QStringList Details() const;  // of every message, in order
    QString Folder() const;       // the last one opened; empty when none was

private:
    class Recorder;
    std::unique_ptr<OperationState> m_state;
    std::shared_ptr<Recorder> m_recorder;
};
