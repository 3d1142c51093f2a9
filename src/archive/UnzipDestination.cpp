#include "archive/UnzipDestination.h"

#include "ziparchive/fs/ToNarrow.h"

#include <sys/stat.h>

#include <cerrno>
#include <stdexcept>

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

bool NothingOrFolderStandsAt(const QString& folder) {
    // A symbolic link is not taken for a directory: unpacking through it would write wherever
    // it points.
    struct stat info {};
    if (::lstat(ToNarrow(folder).c_str(), &info) == 0)
        return S_ISDIR(info.st_mode);
    return errno == ENOENT;
}

QString UnzipDestinationFor(const QString& archivePath, const UnzipFolderUsable& usable) {
    const qsizetype slash = archivePath.lastIndexOf(u'/');
    const QString base = archivePath.left(slash + 1) + Stem(archivePath.mid(slash + 1));
    // Each name passed over is something that stands there; a limit still ends the search.
    constexpr int kMostTried = 10000;
    for (int n = 0; n < kMostTried; ++n) {
        const QString candidate = n == 0 ? base : base + QStringLiteral("(%1)").arg(n);
        if (usable(candidate))
            return candidate;
    }
    throw std::runtime_error("no free folder name to unpack into");
}
