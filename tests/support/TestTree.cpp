#include "support/TestTree.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>

#include <filesystem>
#include <random>

namespace TestTree {

void WriteFile(const QString& path, const QByteArray& content, int mode) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(content);
    file.close();
    if (mode >= 0)
        ::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode));
}

void Make(const QString& root, const QString& item) {
    const QString name = item.section(" -> ", 0, 0).section('=', 0, 0);
    const QString path =
        root + "/" + (name.endsWith('|') || name.endsWith('@') ? name.chopped(1) : name);
    QDir().mkpath(QFileInfo(path).path());
    bool made = true;
    if (item.contains(" -> ")) {
        made = QFile::link(item.section(" -> ", 1), path);
    } else if (name.endsWith('/')) {
        made = QDir().mkpath(path);
    } else if (name.endsWith('|')) {
        made = ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0;
    } else if (name.endsWith('@')) { // its file stays once the socket is closed
        made = RunPython("import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])",
                         {path}) == 0;
    } else {
        WriteFile(path,
                  item.contains('=') ? item.section('=', 1).toUtf8() : TextBytes(1'000'000, 1));
    }
    if (!made)
        qFatal("cannot make %s", qPrintable(path));
}

QMap<QString, QString> Snapshot(const QString& root, const SnapshotOptions& options) {
    QMap<QString, QString> tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        struct stat info {};
        ::lstat(QFile::encodeName(path).constData(), &info);
        const QString mode =
            options.modeMask ? QString::number(info.st_mode & options.modeMask, 8) : QString();
        if (S_ISLNK(info.st_mode)) {
            std::error_code unreadable;
            const std::filesystem::path stored =
                std::filesystem::read_symlink(QFile::encodeName(path).toStdString(), unreadable);
            tree[relative] = "l " + (options.storedLinkTargets ? QFile::decodeName(stored.c_str())
                                                               : QFile::symLinkTarget(path));
        } else if (S_ISDIR(info.st_mode)) {
            tree[relative] = "d " + mode;
        } else if (!S_ISREG(info.st_mode)) {
            tree[relative] = "s " + mode; // a FIFO would block a read
        } else {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            const QByteArray hash =
                QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex();
            tree[relative] = "f " + mode + " " + QString::fromLatin1(hash);
            if (options.withMtimes)
                tree[relative] += " " + QString::number(static_cast<qint64>(info.st_mtime));
        }
    }
    return tree;
}

int Run(const QString& program, const QStringList& arguments, const QString& workingDirectory,
        QString* output, int timeoutMs) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!workingDirectory.isEmpty())
        process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    if (!process.waitForStarted() || !process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output)
        *output = QString::fromUtf8(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

int RunPython(const QString& code, const QStringList& arguments, QString* output) {
    return Run(QStringLiteral("python3"), QStringList{"-c", code} + arguments, {}, output);
}

QByteArray RandomBytes(qsizetype size, quint32 seed) {
    std::mt19937 engine(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = static_cast<char>(engine());
    return bytes;
}

QByteArray TextBytes(qsizetype size, quint32 seed) {
    static const char* const words[] = {
        "archive", "zip",    "folder", "file",  "the", "of",    "and",  "tarvo", "data", "entry",
        "block",   "stream", "quick",  "brown", "fox", "jumps", "over", "lazy",  "dog",  "\n"};
    std::mt19937 engine(seed);
    QByteArray text;
    text.reserve(size + 16);
    while (text.size() < size) {
        text += words[engine() % 20];
        text += ' ';
    }
    text.truncate(size);
    return text;
}

QStringList Changes(const QMap<QString, QString>& before, const QMap<QString, QString>& after) {
    QStringList changes;
    for (const QString& path : before.keys() + after.keys())
        if (before.value(path) != after.value(path))
            changes << (!before.contains(path) ? "+" : after.contains(path) ? "~" : "-") + path;
    changes.removeDuplicates();
    changes.sort();
    return changes;
}

QStringList Strays(const QString& folder, const QStringList& expected) {
    QStringList strays = QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    strays.removeIf([&expected](const QString& name) { return expected.contains(name); });
    strays.sort();
    return strays;
}

} // namespace TestTree
