#include "support/ReaderRun.h"

#include "support/TestTree.h"
#include "support/WorkerRun.h"

#include <QDir>
#include <QDirIterator>

namespace ReaderRun {

Result Run(const QString& archive, unsigned threads, const std::function<void()>& meanwhile) {
    WorkerRun run;
    run.RunAtReset(meanwhile);
    run.state().unzipThreads = threads;
    // In UnzipOutcome's order.
    static const char* const names[] = {"refused", "succeeded", "corrupted", "failed", "stopped"};
    const UnzipOutcome outcome = run.Unzip(QFileInfo(archive).absoluteFilePath());
    const QStringList causes = run.Details();
    return {names[static_cast<int>(outcome)], causes.value(causes.size() - 1), run.Folder()};
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
