#pragma once

#include <QByteArray>
#include <QMap>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTest>

// Skips the test when one of the outside tools is not installed.
#define REQUIRE_TOOLS(...)                                                                         \
    for (const char* tool : {__VA_ARGS__})                                                         \
        if (QStandardPaths::findExecutable(tool).isEmpty())                                        \
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));

// File trees and outside tools for the tests.
namespace TestTree {

// Writes a file (parents created), optionally with Unix permission bits.
void WriteFile(const QString& path, const QByteArray& content, int mode = -1);

// Makes one item below root, parents included: "name/" a folder, "name -> target" a link,
// "name|" a FIFO, "name@" a socket, "name=content" a file of that content, a bare "name" a file
// of a megabyte of text.
void Make(const QString& root, const QString& item);

// What Snapshot shows of each item.
struct SnapshotOptions {
    unsigned modeMask = 07777;      // the mode bits shown, octal; 0 leaves modes out
    bool storedLinkTargets = false; // a link's target as stored rather than where it leads
    bool withMtimes = false;        // a file's modification time after its hash
};

// Every file, directory and link below root, by relative path: "f <mode> <sha1>" for files,
// "d <mode>" for directories, "l <target>" for links, "s <mode>" for FIFOs, sockets and devices.
QMap<QString, QString> Snapshot(const QString& root, const SnapshotOptions& options);
inline QMap<QString, QString> Snapshot(const QString& root, bool withModes = true) {
    return Snapshot(root, SnapshotOptions{withModes ? 07777u : 0u});
}

// Every change from one snapshot to another: "+path" added, "~path" changed, "-path" removed,
// sorted.
QStringList Changes(const QMap<QString, QString>& before, const QMap<QString, QString>& after);
// Top-level names in folder, hidden ones too, other than expected, sorted: what an operation
// left that it should not have.
QStringList Strays(const QString& folder, const QStringList& expected);

// Runs a program, waits for it, returns its exit code (-1 if it could not start or timed out).
// Standard output and error go to *output when given.
int Run(const QString& program, const QStringList& arguments, const QString& workingDirectory = {},
        QString* output = nullptr, int timeoutMs = 120000);

// Runs a Python snippet with python3; sys.argv[1:] are the arguments.
int RunPython(const QString& code, const QStringList& arguments = {}, QString* output = nullptr);

// Deterministic pseudo-random bytes, and text that compresses like real text.
QByteArray RandomBytes(qsizetype size, quint32 seed);
QByteArray TextBytes(qsizetype size, quint32 seed);

} // namespace TestTree
