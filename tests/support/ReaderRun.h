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

// Every file, folder and link below root: "f <mode> <sha1> <mtime>", "d <mode>", "l <target>",
// the link's target as stored. Unlike TestTree::Snapshot this keeps modification times and
// relative targets, and shows modes as the reader restores them: without setuid, setgid, sticky
// and world-writable bits, which unzip keeps. It is what an unpacking by unzip is compared with.
QMap<QString, QString> Tree(const QString& root);

// Names in `folder` and below that a reader leaves only by mistake: its staging folders.
QStringList Leftovers(const QString& folder);

// Top-level names of `folder` other than `expected`.
QStringList Strays(const QString& folder, const QStringList& expected);

} // namespace ReaderRun
