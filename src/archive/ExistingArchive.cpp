#include "archive/ExistingArchive.h"

#include "archive/PathRefusal.h"
#include "ziparchive/CZipArchive.h"
#include "ziparchive/fs/ToNarrow.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

[[noreturn]] void Refuse(const QString& archivePath, const char* because) {
    throw PathRefusal(QStringLiteral("%1 is already there and %2; it was left as it is.")
                          .arg(archivePath, QLatin1String(because))
                          .toStdString());
}

bool ReadsAsZipArchive(const QString& archivePath) {
    try {
        CZipArchive probe;
        probe.Open(archivePath, CZipArchive::zipOpen);
        probe.Close();
        return true;
    } catch (const CZipException&) {
        return false;
    }
}

} // namespace

void CheckArchiveMayBeReplaced(const QString& archivePath) {
    const std::string narrow = ToNarrow(archivePath);
    struct stat info {};
    if (::lstat(narrow.c_str(), &info) != 0)
        return; // nothing there; any other trouble is the writer's to report
    if (S_ISLNK(info.st_mode))
        Refuse(archivePath, "is a symbolic link");
    if (S_ISDIR(info.st_mode))
        Refuse(archivePath, "is a folder");
    if (!S_ISREG(info.st_mode))
        Refuse(archivePath, "is not a zip archive");
    if ((info.st_mode & 0222) == 0 || ::access(narrow.c_str(), W_OK) != 0)
        Refuse(archivePath, "is read-only");
    if (!ReadsAsZipArchive(archivePath))
        Refuse(archivePath, "is not a zip archive");
}
