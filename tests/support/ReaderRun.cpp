#include "support/ReaderRun.h"

#include "support/TestTree.h"
#include "ziparchive/CZipArchive.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include <exception>

namespace ReaderRun {

Result UnpackLikeTheWorker(const QString& archive, const QString& destination, unsigned threads) {
    Result result;
    try {
        CZipArchive zip;
        zip.SetThreadCount(threads);
        zip.Open(archive, CZipArchive::zipOpen, 0);
        zip.SetExtractionRoot(destination);
        result.outcome = Outcome::Succeeded;
        for (std::uint64_t i = 0; i < zip.GetCount(); ++i) {
            if (!zip.TestFile(i, 65536)) {
                result.outcome = Outcome::Corrupted;
                break;
            }
            zip.ExtractFile(i, destination, true, nullptr, 65536);
            ++result.extracted;
        }
        zip.Close(0, false);
    } catch (const std::exception& error) {
        result.outcome = Outcome::Failed;
        result.error = QString::fromUtf8(error.what());
    }
    return result;
}

int UnpackWithUnzip(const QString& archive, const QString& destination) {
    return TestTree::Run(QStringLiteral("unzip"), {"-qo", archive, "-d", destination});
}

QMap<QString, QString> Tree(const QString& root) {
    QMap<QString, QString> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        struct stat info {};
        ::lstat(QFile::encodeName(path).constData(), &info);
        const QString mode = QString::number(info.st_mode & 0775, 8);
        if (S_ISLNK(info.st_mode)) {
            QByteArray target(4096, '\0');
            const ssize_t length = ::readlink(QFile::encodeName(path).constData(), target.data(),
                                              static_cast<size_t>(target.size()));
            tree[relative] = "l " + QFile::decodeName(target.left(length));
        } else if (S_ISDIR(info.st_mode)) {
            tree[relative] = "d " + mode;
        } else {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            const QByteArray hash =
                QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex();
            tree[relative] = "f " + mode + " " + QString::fromLatin1(hash) + " " +
                             QString::number(static_cast<qint64>(info.st_mtime));
        }
    }
    return tree;
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

QStringList Strays(const QString& folder, const QStringList& expected) {
    QStringList strays;
    for (const QString& name : QDir(folder).entryList(QDir::AllEntries | QDir::Hidden |
                                                      QDir::System | QDir::NoDotAndDotDot)) {
        if (!expected.contains(name))
            strays << name;
    }
    return strays;
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Succeeded:
        return "succeeded";
    case Outcome::Corrupted:
        return "corrupted";
    case Outcome::Failed:
        return "failed";
    }
    return "?";
}

} // namespace ReaderRun
