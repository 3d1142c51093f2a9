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

QStringList Walk(const QString& folder) {
    std::vector<std::string> files;
    WalkFolder(QFile::encodeName(folder).toStdString(), files);
    QStringList names;
    for (const std::string& file : files)
        names << QDir(folder).relativeFilePath(QFile::decodeName(file.c_str()));
    return names;
}

// The names of a directory in the order the file system returns them.
QStringList NativeOrder(const QString& folder) {
    QStringList names;
    DIR* dir = ::opendir(QFile::encodeName(folder).constData());
    while (const dirent* entry = ::readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names << QFile::decodeName(entry->d_name);
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
        for (const char* name : {"a.txt", "s/c.txt", "s/t/d.txt", "z.txt", ".hidden"})
            TestTree::WriteFile(root + "/" + name, name);
        QDir().mkpath(root + "/e");

        // Each directory's entries in readdir order, a subfolder's files where the subfolder
        // stands, directories themselves never listed.
        std::function<QStringList(const QString&)> expected = [&](const QString& relative) {
            QStringList out;
            for (const QString& name : NativeOrder(root + "/" + relative)) {
                const QString path = relative.isEmpty() ? name : relative + "/" + name;
                out << (QFileInfo(root + "/" + path).isDir() ? expected(path) : QStringList{path});
            }
            return out;
        };
        const QString before = QDir::currentPath();
        QCOMPARE(Walk(root), expected(QString()));
        QCOMPARE(Walk(root).size(), 5);
        QCOMPARE(QDir::currentPath(), before);
    }

    // Rows: "file", "folder/", "link -> target" (relative to the walked folder F), "fifo|",
    // "socket=". The files listed, by path below F, and how many special files were left out.
    void onlyRegularFilesAreListed_data() {
        QTest::addColumn<QStringList>("tree");
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<int>("skipped");
        QTest::newRow("only empty folders give nothing")
            << QStringList{"a/b/", "c/"} << QStringList{} << 0;
        QTest::newRow("links to files count, dangling links are skipped")
            << QStringList{"../outside.txt", "link.txt -> ../outside.txt", "dangling -> nowhere"}
            << QStringList{"link.txt"} << 0;
        QTest::newRow("a folder reached under two names is listed under each")
            << QStringList{"real/x", "real/in/y", "alias -> real"}
            << QStringList{"alias/in/y", "alias/x", "real/in/y", "real/x"} << 0;
        QTest::newRow("only a link back into its own parents is cut")
            << QStringList{"sub/file", "sub/back-to-top -> ..", "again -> sub", "sub/self -> self",
                           "sub/inner/up -> ../../sub"}
            << QStringList{"again/file", "sub/file"} << 0;
        QTest::newRow("FIFOs, sockets and devices are never opened, and counted")
            << QStringList{"plain", "fifo|", "socket=", "zeros -> /dev/zero"}
            << QStringList{"plain"} << 3;
    }
    void onlyRegularFilesAreListed() {
        QFETCH(QStringList, tree);
        QFETCH(QStringList, listed);
        QFETCH(int, skipped);
        QTemporaryDir dir;
        const QString root = dir.filePath("F");
        QDir().mkpath(root);
        int socketFd = -1;
        QStringList specials;
        for (const QString& item : tree) {
            const QString path = root + "/" + item.section(" -> ", 0, 0);
            const QByteArray native = QFile::encodeName(path.chopped(1));
            if (item.contains(" -> ")) {
                QDir().mkpath(QFileInfo(path).path());
                QVERIFY(QFile::link(item.section(" -> ", 1), path));
                if (item.contains("/dev/"))
                    specials << path;
            } else if (item.endsWith('/')) {
                QDir().mkpath(path);
            } else if (item.endsWith('|')) {
                QCOMPARE(::mkfifo(native.constData(), 0644), 0);
                specials << path.chopped(1);
            } else if (item.endsWith('=')) {
                socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                sockaddr_un address{};
                address.sun_family = AF_UNIX;
                QVERIFY(native.size() < qsizetype(sizeof(address.sun_path)));
                std::memcpy(address.sun_path, native.constData(), native.size());
                QCOMPARE(::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)),
                         0);
                specials << path.chopped(1);
            } else {
                TestTree::WriteFile(path, "x");
            }
        }
        std::vector<std::string> files;
        const SkippedSpecials found = WalkFolder(QFile::encodeName(root).toStdString(), files);
        if (socketFd >= 0)
            ::close(socketFd);
        QStringList walked;
        for (const std::string& file : files)
            walked << QDir(root).relativeFilePath(QFile::decodeName(file.c_str()));
        walked.sort();
        QCOMPARE(walked, listed);
        QCOMPARE(found.count, quint64(skipped));
        if (skipped > 0)
            QVERIFY(specials.contains(QFile::decodeName(found.first.c_str())));
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
        auto walkThrows = [&dir] {
            try {
                Walk(dir.filePath("F"));
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
