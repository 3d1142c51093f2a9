#include "support/ReaderRun.h"

#include "support/TestTree.h"
#include "support/WorkerRun.h"

#include <QDir>
#include <QDirIterator>

namespace ReaderRun {

namespace {

// Posted by the worker once it has chosen its destination, before it extracts.
class ReportRunningMeanwhile : public RecordingReport {
public:
    explicit ReportRunningMeanwhile(const std::function<void()>& meanwhile)
        : m_meanwhile(meanwhile) {}
    void Post(ProgressMessage message) override {
        if (message == ProgressMessage::Reset && m_meanwhile)
            std::exchange(m_meanwhile, {})();
        RecordingReport::Post(message);
    }

private:
    std::function<void()> m_meanwhile;
};

} // namespace

Result Run(const QString& archive, unsigned threads, const std::function<void()>& meanwhile) {
    WorkerRun run;
    const auto report = std::make_shared<ReportRunningMeanwhile>(meanwhile);
    run.state().reportWindow.Set(report);
    run.state().unzipThreads = threads;
    // In UnzipOutcome's order.
    static const char* const names[] = {"refused", "succeeded", "corrupted", "failed", "stopped"};
    Result result{
        names[static_cast<int>(run.Unzip(QFileInfo(archive).absoluteFilePath()))], {}, {}};
    for (const RecordingReport::Record& record : report->Records()) {
        if (record.kind == RecordingReport::Record::Message)
            result.cause = record.detail;
        else if (record.kind == RecordingReport::Record::Folder)
            result.destination = record.text;
    }
    return result;
}

QString Unpack(const QString& archive, const QString& destination, unsigned threads) {
    const Result result = Run(archive, threads);
    const bool elsewhere =
        !result.destination.isEmpty() && QFileInfo(result.destination) != QFileInfo(destination);
    return elsewhere ? result.outcome + " into " + result.destination : result.outcome;
}

QMap<QString, QString> Tree(const QString& root) {
    return TestTree::Snapshot(root,
                              {.modeMask = 0775, .storedLinkTargets = true, .withMtimes = true});
}

QStringList Leftovers(const QString& folder) {
    QStringList found;
    QDirIterator it(folder, {".tarvo-unzip-*"},
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

} // namespace ReaderRun
