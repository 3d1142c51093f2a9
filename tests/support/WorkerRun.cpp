#include "support/WorkerRun.h"

#include "operation/ThreadStart.h"

#include <QStringList>
#include <QTest>

WorkerRun::WorkerRun()
    : m_state(std::make_unique<OperationState>()), m_report(std::make_shared<RecordingReport>()) {
    m_state->reportWindow.Set(m_report);
}

WorkerRun::~WorkerRun() {
    // The tickers end after their next post once the operation is over.
    m_state->busy = false;
    if (!QTest::qWaitFor([] { return RunningThreadCount() == 0; }, 30000))
        qWarning("a worker or ticker thread is still running");
}

UnzipOutcome WorkerRun::Unzip(const QString& archive) {
    m_state->selectedPath = archive;
    m_state->unzipSelected = true;
    return RunUnzip(*m_state);
}

ZipOutcome WorkerRun::Zip(const QString& path, bool folder) {
    m_state->selectedPath = path;
    m_state->zipSelected = true;
    m_state->zipFolder = folder;
    return RunZip(*m_state);
}

QString WorkerRun::Milestones() const {
    static const char* const names[] = {"Step", "Finished", "Reset", "Message", "Folder", "End"};
    QStringList words;
    for (const auto& record : m_report->Records())
        if (record.kind != RecordingReport::Record::Step)
            words << QString::fromLatin1(names[record.kind]);
    return words.join(u' ');
}

int WorkerRun::StepsAfterReset() const {
    using Kind = RecordingReport::Record::Kind;
    int steps = 0;
    bool counting = false;
    for (const auto& record : m_report->Records()) {
        if (counting && record.kind == Kind::Message)
            break;
        counting = counting || record.kind == Kind::Reset;
        steps += counting && record.kind == Kind::Step;
    }
    return steps;
}
