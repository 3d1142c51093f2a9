#include "ziparchive/fs/ToNarrow.h"

#include <QFile>

#include <algorithm>

std::string ToNarrow(const QString& wide) {
    return QFile::encodeName(wide).toStdString();
}

QString ToWide(const std::string& narrow) {
    return QFile::decodeName(QByteArray::fromStdString(narrow));
}

QString ShownName(const std::string& narrow) {
    QString shown;
    std::size_t at = 0;
    while (at < narrow.size()) {
        // The longest run of up to four bytes that is whole UTF-8 without control characters.
        std::size_t length = std::min<std::size_t>(4, narrow.size() - at);
        for (; length > 0; --length) {
            const QByteArray piece(narrow.data() + at, static_cast<qsizetype>(length));
            const QString text = QString::fromUtf8(piece);
            const bool printable = std::none_of(text.begin(), text.end(), [](QChar c) {
                return c.unicode() < 0x20 || c.unicode() == 0x7F;
            });
            if (printable && text.toUtf8() == piece) {
                shown += text;
                break;
            }
        }
        if (length == 0) {
            shown += QString::asprintf("\\x%02X", static_cast<unsigned char>(narrow[at]));
            length = 1;
        }
        at += length;
    }
    return shown;
}
