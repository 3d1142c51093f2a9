#pragma once

#include <QString>

// What the workers say to the user, word for word.
namespace Messages {
inline const QString Unzipper = QStringLiteral("Unzipper");
inline const QString Zipper = QStringLiteral("Zipper");

inline const QString SelectZipFile = QStringLiteral("Error: please select a valid zip file");
inline const QString ZipFileCorrupted = QStringLiteral("Error: zip file is corrupted!");
inline const QString UnzipSucceeded = QStringLiteral("Unzipping completed successfully.");
inline const QString UnzipFailed =
    QStringLiteral("Error: Unzipping did not complete. Make sure you have enough disk space and "
                   "the zip file is not corrupt!");

// The trailing blank is part of the text.
inline const QString SelectToZip = QStringLiteral("Please select a file or a folder for zipping ");
inline const QString ZipSucceeded = QStringLiteral("Zipping completed successfully.");
inline const QString ZipFailed =
    QStringLiteral("Error: Zipping did not complete. Make sure you have enough disk space!");

// A path from the command line whose bytes have no text form; `shown` escapes them.
inline QString UnusablePath(const QString& shown) {
    return QStringLiteral("Error: cannot use the path %1: it is not valid UTF-8. Rename it and "
                          "try again.")
        .arg(shown);
}

// A relative path from the command line while the current folder cannot be named.
inline QString UnusableFolder(const QString& why) {
    return QStringLiteral("Error: cannot find the current folder: %1").arg(why);
}
} // namespace Messages
