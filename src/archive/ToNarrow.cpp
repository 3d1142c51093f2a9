#include "archive/ToNarrow.h"

#include <QFile>

std::string ToNarrow(const QString& wide) {
    return QFile::encodeName(wide).toStdString();
}

QString ToWide(const std::string& narrow) {
    return QFile::decodeName(QByteArray::fromStdString(narrow));
}
