#pragma once

#include <QJsonArray>
#include <QString>

// The outside zip readers the archives we write must satisfy, and our own command-line zipper.
namespace ZipTools {

// Tests the archive with a reader ("unzip", "7zz", "python" or "bsdtar") and unpacks it into
// destination (created). Returns an empty string on success, otherwise what the reader said.
QString TestAndUnpack(const QString& reader, const QString& archive, const QString& destination);

// Every entry as Python's zipfile sees it, in directory order: an object with "name" (the raw
// name bytes in hex), "text" (the name as text), "method", "utf8" (flag bit 11), "size",
// "dosTime" ("YYYY-MM-DD hh:mm:ss"), "utcTime" (from the 0x5455 field, -1 without it) and
// "zip64" (a ZIP64 field in the central directory). Empty when the archive cannot be read.
QJsonArray ListEntries(const QString& archive);

// Runs `tarvo-cli zip path` and returns its exit code; its output goes to *output.
// shellPrefix runs before it in the same shell (for instance "ulimit -f 100").
int ZipWithCli(const QString& path, QString* output = nullptr, const QString& shellPrefix = {});

} // namespace ZipTools
