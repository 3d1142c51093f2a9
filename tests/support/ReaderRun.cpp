#include "support/ReaderRun.h"

#include "ziparchive/CZipArchive.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

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

} // namespace ReaderRun
