// The folder walk on real trees: order, links, special files and unreadable folders.

#include "archive/WalkFolder.h"
#include "support/TestTree.h"
#include "ziparchive/CZipArchive.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <functional>

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<std::string> Walk(const QString& folder) {
    std::vector<std::string> files;
    WalkFolder(QFile::encodeName(folder).toStdString(), files);
    return files;
}

QStringList Relative(const QString& folder, const std::vector<std::string>& files) {
    QStringList names;
    for (const std::string& file : files)
        names << QDir(folder).relativeFilePath(QFile::decodeName(file.c_str()));
    return names;
}

// The names of a directory in the order the file system returns them.
QStringList NativeOrder(const QString& folder) {
    QStringList names;
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    while (const dirent* entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(dir);
    return names;
}

} // namespace

class TestWalkFolder : public QObject {
    Q_OBJECT

private slots:
    void depthFirstInTheDirectorysOwnOrder() {
        QTemporaryDir dir;
        const QString root = dir.filePath("F");
        for (const char* name : {"a.txt", "s/c.txt", "s/t/d.txt", "z.txt", ".hidden", "e/"})
            if (QString(name).endsWith('/'))
                QDir().mkpath(root + "/" + name);
            else
                TestTree::WriteFile(root + "/" + name, name);

        // Expected: each directory's entries in readdir order, a subfolder's files where the
        // subfolder stands, directories themselves never listed.
        std::function<QStringList(const QString&)> expected = [&](const QString& relative) {
            QStringList out;
            for (const QString& name : NativeOrder(root + "/" + relative)) {
                const QString path = relative.isEmpty() ? name : relative + "/" + name;
                if (QFileInfo(root + "/" + path).isDir())
                    out << expected(path);
                else
                    out << path;
            }
            return out;
        };
        QCOMPARE(Relative(root, Walk(root)), expected(QString()));
        QCOMPARE(Walk(root).size(), size_t(5));
    }

    void fullPathsUnderTheFolderAsGiven() {
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("F/x"), "x");
        const auto files = Walk(dir.filePath("F") + "/");
        QCOMPARE(QString::fromStdString(files.at(0)), dir.filePath("F/x"));
    }

    void onlyEmptyFoldersGiveNothing() {
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath("F/a/b"));
        QDir().mkpath(dir.filePath("F/c"));
        QVERIFY(Walk(dir.filePath("F")).empty());
    }

    void linksToFilesCountAndDanglingLinksAreSkipped() {
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("outside.txt"), "content");
        QDir().mkpath(dir.filePath("F"));
        QVERIFY(QFile::link(dir.filePath("outside.txt"), dir.filePath("F/link.txt")));
        QVERIFY(QFile::link(dir.filePath("nowhere"), dir.filePath("F/dangling")));
        QCOMPARE(Relative(dir.filePath("F"), Walk(dir.filePath("F"))), QStringList{"link.txt"});
    }

    void linkLoopsEndAndEachDirectoryIsVisitedOnce() {
        QTemporaryDir dir;
        const QString root = dir.filePath("F");
        TestTree::WriteFile(root + "/sub/file", "x");
        QVERIFY(QFile::link(root, root + "/sub/back-to-top"));
        QVERIFY(QFile::link(root + "/sub", root + "/again"));
        QVERIFY(QFile::link(root + "/sub/self", root + "/sub/self")); // a link to itself
        const auto files = Walk(root);
        QCOMPARE(files.size(), size_t(1));
    }

    void specialFilesAreNeverOpened() {
        QTemporaryDir dir;
        const QString root = dir.filePath("F");
        TestTree::WriteFile(root + "/plain", "x");
        QCOMPARE(::mkfifo(QFile::encodeName(root + "/fifo").constData(), 0644), 0);
        // A socket bound in the tree.
        const int socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray socketPath = QFile::encodeName(root + "/socket");
        if (socketPath.size() < qsizetype(sizeof(address.sun_path))) {
            std::memcpy(address.sun_path, socketPath.constData(), socketPath.size());
            ::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        }
        QVERIFY(QFile::link("/dev/zero", root + "/zeros"));
        QCOMPARE(Relative(root, Walk(root)), QStringList{"plain"});
        ::close(socketFd);
    }

    void currentDirectoryIsLeftAlone() {
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("F/s/x"), "x");
        const QString before = QDir::currentPath();
        Walk(dir.filePath("F"));
        QCOMPARE(QDir::currentPath(), before);
    }

    void aMissingFolderThrows() {
        QTemporaryDir dir;
        QVERIFY_THROWS_EXCEPTION(CZipException, Walk(dir.filePath("missing")));
    }

    // Root reads every folder whatever its mode, so as root the walk runs in a child process
    // that has given up its privileges.
    void anUnreadableFolderThrows() {
        QTemporaryDir dir;
        TestTree::WriteFile(dir.filePath("F/locked/x"), "x");
        TestTree::WriteFile(dir.filePath("F/open/y"), "y");
        ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
        ::chmod(QFile::encodeName(dir.filePath("F/locked")).constData(), 0);
        const std::string folder = QFile::encodeName(dir.filePath("F")).toStdString();
        auto walkThrows = [&folder] {
            try {
                std::vector<std::string> files;
                WalkFolder(folder, files);
                return false;
            } catch (const CZipException&) {
                return true;
            }
        };
        if (::geteuid() != 0) {
            QVERIFY(walkThrows());
        } else {
            const pid_t child = ::fork();
            if (child == 0) {
                if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                    ::_exit(2);
                ::_exit(walkThrows() ? 0 : 1);
            }
            int status = 0;
            ::waitpid(child, &status, 0);
            QVERIFY(WIFEXITED(status));
            QCOMPARE(WEXITSTATUS(status), 0);
        }
        ::chmod(QFile::encodeName(dir.filePath("F/locked")).constData(), 0755);
    }
};

QTEST_GUILESS_MAIN(TestWalkFolder)
#include "tst_walkfolder.moc"
