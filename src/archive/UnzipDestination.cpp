#include "archive/UnzipDestination.h"

#include "ziparchive/fs/ToNarrow.h"

#include <sys/stat.h>

namespace {

// The name cut before its extension. A stem of dots alone would name the archive's own folder
// or the one above it.
QString Stem(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(u'.');
    if (dot <= 0)
        return fileName;
    const QString stem = fileName.left(dot);
    return stem == QStringLiteral(".") || stem == QStringLiteral("..") ? fileName : stem;
}

} // namespace

QString UnzipDestinationFor(const QString& archivePath) {
    const qsizetype slash = archivePath.lastIndexOf(u'/');
    QString destination = archivePath.left(slash + 1) + Stem(archivePath.mid(slash + 1));
    // A symbolic link is not taken for a directory: unpacking through it would write wherever
    // it points.
    struct stat info {};
    if (::lstat(ToNarrow(destination).c_str(), &info) == 0 && !S_ISDIR(info.st_mode))
        destination += QStringLiteral("(1)");
    return destination;
}
