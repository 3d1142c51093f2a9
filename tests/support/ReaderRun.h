#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>

// Runs the archive reader the way the unzip worker does, and compares what it leaves with what
// Info-ZIP's unzip leaves.
namespace ReaderRun {

enum class Outcome {
    Succeeded, // every entry tested sound and was extracted
    Corrupted, // an entry failed its test; the run stopped there
    Failed,    // an exception ended the run
};

struct Result {
    Outcome outcome = Outcome::Failed;
    std::uint64_t extracted = 0;
    QString error;
};

// Open, SetExtractionRoot, then TestFile and ExtractFile for each entry until one fails its
// test, then Close, exactly as the worker does; an exception ends the run.
Result UnpackLikeTheWorker(const QString& archive, const QString& destination,
                           unsigned threads = 0);

// Unpacks with `unzip -qo` into destination; returns its exit code.
int UnpackWithUnzip(const QString& archive, const QString& destination);

// Every file, folder and link below root: "f <mode> <sha1> <mtime>", "d <mode>", "l <target>".
// Modes are shown as the reader restores them: without setuid, setgid, sticky and
// world-writable bits, which unzip keeps.
QMap<QString, QString> Tree(const QString& root);

// Names in `folder` and below that a reader leaves only by mistake: its staging folders.
QStringList Leftovers(const QString& folder);

// Top-level names of `folder` other than `expected`.
QStringList Strays(const QString& folder, const QStringList& expected);

const char* OutcomeName(Outcome outcome);

} // namespace ReaderRun
