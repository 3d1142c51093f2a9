#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Runs the archive reader the way the unzip worker does, and looks at what it leaves.
namespace ReaderRun {

// Open, SetExtractionRoot, then TestFile and ExtractFile for each entry until one fails its
// test, then Close, exactly as the worker does. Returns "succeeded" when every entry came out,
// "corrupted" when one failed its test, "failed" when an exception ended the run.
QString Unpack(const QString& archive, const QString& destination, unsigned threads = 0);

// The tree as an unpacking by unzip is compared with: a snapshot with modification times and
// links' stored targets, and modes as the reader restores them, without the setuid, setgid,
// sticky and world-writable bits that unzip keeps.
QMap<QString, QString> Tree(const QString& root);

// Names in `folder` and below that a reader leaves only by mistake: its staging folders.
QStringList Leftovers(const QString& folder);

} // namespace ReaderRun
