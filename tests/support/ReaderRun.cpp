#include "support/ReaderRun.h"

#include "support/TestTree.h"
#include "ziparchive/CZipArchive.h"

#include <QDir>
#include <QDirIterator>

#include <exception>

namespace ReaderRun {

QString Unpack(const QString& archive, const QString& destination, unsigned threads) {
    try {
        CZipArchive zip;
        zip.SetThreadCount(threads);
        zip.Open(archive, CZipArchive::zipOpen, 0);
        zip.SetExtractionRoot(destination);
        bool sound = true;
        for (std::uint64_t i = 0; sound && i < zip.GetCount(); ++i) {
            sound = zip.TestFile(i, 65536);
            if (sound)
                zip.ExtractFile(i, destination, true, nullptr, 65536);
        }
        zip.Close(0, false);
        return sound ? "succeeded" : "corrupted";
    } catch (const std::exception&) {
        return "failed";
    }
}

QMap<QString, QString> Tree(const QString& root) {
    return TestTree::Snapshot(root,
                              {.modeMask = 0775, .storedLinkTargets = true, .withMtimes = true});
}

QStringList Leftovers(const QString& folder) {
    QStringList found;
    QDirIterator it(folder, {".tarvo-unzip-*"},
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

} // namespace ReaderRun
