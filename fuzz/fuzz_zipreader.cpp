// Any bytes as an archive: open, count, test and extract every entry into a fresh folder, the
// way the unzip worker does. Nothing may crash, hang or land outside that folder.

#include "ziparchive/CZipArchive.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static QTemporaryDir* const scratch = new QTemporaryDir;
    const QString root = scratch->filePath("run");
    QDir(root).removeRecursively();
    QDir().mkpath(root);

    const QString archive = root + "/input.zip";
    {
        QFile file(archive);
        if (!file.open(QIODevice::WriteOnly))
            std::abort();
        file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    const QString destination = root + "/input";
    try {
        CZipArchive zip;
        zip.SetThreadCount(1);
        zip.Open(archive, CZipArchive::zipOpen, 0);
        zip.SetExtractionRoot(destination);
        // Bound the work on absurd entry counts; every entry still goes through the checks.
        for (std::uint64_t i = 0; i < zip.GetCount() && i < 4096; ++i) {
            if (!zip.TestFile(i, 65536))
                break;
            zip.ExtractFile(i, destination, true, nullptr, 65536);
        }
        zip.Close(0, false);
    } catch (const CZipException&) {
    }
    // Only the archive and its destination may stand in the run folder.
    const QStringList left =
        QDir(root).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden | QDir::System);
    for (const QString& name : left)
        if (name != "input.zip" && name != "input")
            std::abort();
    if (!QDir(scratch->path())
             .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden)
             .contains("run") ||
        QDir(scratch->path())
                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden)
                .size() != 1)
        std::abort();
    return 0;
}
