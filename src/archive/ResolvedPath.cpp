#include "archive/ResolvedPath.h"

#include "archive/Messages.h"
#include "archive/PathRefusal.h"
#include "ziparchive/fs/ToNarrow.h"

#include <QFile>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};

} // namespace

QString ResolvedPath(const QString& path, const QString& startFolder) {
    if (path.isEmpty())
        return path;
    QByteArray joined = QFile::encodeName(path);
    if (!joined.startsWith('/'))
        joined = QFile::encodeName(startFolder) + '/' + joined;
    while (joined.size() > 1 && joined.endsWith('/'))
        joined.chop(1);

    const qsizetype slash = joined.lastIndexOf('/');
    QByteArray folder = slash == 0 ? QByteArray("/") : joined.left(slash);
    QByteArray leaf = joined.mid(slash + 1);
    if (leaf.isEmpty() || leaf == "." || leaf == "..") {
        folder = joined;
        leaf.clear();
    }
    const std::unique_ptr<char, FreeDeleter> real(::realpath(folder.constData(), nullptr));
    QByteArray resolved = real ? QByteArray(real.get()) : QByteArray();
    if (!leaf.isEmpty() && !resolved.isEmpty()) {
        if (!resolved.endsWith('/'))
            resolved += '/';
        resolved += leaf;
    }
    // A folder that is not there, or one whose real name has no text form (a link into a
    // folder named in another encoding): the path as given still names the right thing.
    const QString text = QFile::decodeName(resolved);
    if (resolved.isEmpty() || QFile::encodeName(text) != resolved)
        return QFile::decodeName(joined);
    return text;
}

QString ArgumentPath(const QByteArray& argument) {
    QByteArray joined = argument;
    if (!argument.isEmpty() && !argument.startsWith('/')) {
        const std::unique_ptr<char, FreeDeleter> current(::getcwd(nullptr, 0));
        if (!current)
            throw PathRefusal(
                Messages::UnusableFolder(QString::fromUtf8(std::strerror(errno))).toStdString());
        joined = QByteArray(current.get()) + '/' + argument;
    }
    const QString text = QFile::decodeName(joined);
    if (QFile::encodeName(text) != joined)
        throw PathRefusal(Messages::UnusablePath(ShownName(joined.toStdString())).toStdString());
    return ResolvedPath(text, QString());
}
