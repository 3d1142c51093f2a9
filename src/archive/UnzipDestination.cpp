#include "archive/UnzipDestination.h"

#include "archive/ToNarrow.h"

#include <sys/stat.h>

QString UnzipDestinationFor(const QString& archivePath) {
    const qsizetype dot = archivePath.lastIndexOf(u'.');
    QString destination = dot >= 0 ? archivePath.left(dot) : archivePath;
    // A symbolic link is not taken for a directory: unpacking through it would write wherever
    // it points.
    struct stat info {};
    if (::lstat(ToNarrow(destination).c_str(), &info) == 0 && !S_ISDIR(info.st_mode))
        destination += QStringLiteral("(1)");
    return destination;
}
