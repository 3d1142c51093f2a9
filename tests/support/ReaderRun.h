#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

// Runs the unzip worker on an archive the way the window and tarvo-cli do, and looks at what it
// leaves.
namespace ReaderRun {

struct Result {
    QString outcome;     // "succeeded", "corrupted" (an entry failed its test), "failed"
    QString cause;       // the detail of the worker's message: what failed, and where
    QString destination; // the folder the worker shows; empty when it shows none
};

// The worker on `archive` with `threads` decoders (0: one per core). `meanwhile`, when given,
// runs once the worker has chosen its destination and before anything goes into it: what it
// makes there stands for what another program puts there while the run goes on.
Result Run(const QString& archive, unsigned threads = 0,
           const std::function<void()>& meanwhile = {});

// Run's outcome; `destination` is where the worker is expected to unpack (the archive's name
// without its extension, beside it), and the outcome names the folder it went to instead.
QString Unpack(const QString& archive, const QString& destination, unsigned threads = 0);

// The tree as an unpacking by unzip is compared with: a snapshot with modification times and
// links' stored targets, and modes as the reader restores them, without the setuid, setgid,
// sticky and world-writable bits that unzip keeps.
QMap<QString, QString> Tree(const QString& root);

// Names in `folder` and below that a reader leaves only by mistake: its staging folders.
QStringList Leftovers(const QString& folder);

} // namespace ReaderRun
