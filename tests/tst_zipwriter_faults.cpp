// Zipping under trouble: a full disk, files that change, vanish or turn into something else, a
// path that cannot take the archive. A failure is clear and leaves nothing behind: no archive,
// no temporary, and an earlier archive of the same name byte for byte as it was. A file that
// changes while it is read is stored as read, one version whole.

#include "support/TestTree.h"
#include "support/ZipTools.h"
#include "ziparchive/CZipArchive.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace {

constexpr qint64 Chunk = 719'984;
// A real archive, since Tarvo replaces nothing else: no entries, and a comment to tell it apart.
const QByteArray EarlierArchive = QByteArray("PK\x05\x06", 4) + QByteArray(16, '\0') +
                                  QByteArray("\x25\0", 2) +
                                  "an earlier archive that must survive\n";
// An end record alone: the archive every reader takes as holding no entries.
const QByteArray EmptyArchive = QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Everything in folder apart from the names given: temporaries and half-written archives.
QStringList Leftovers(const QString& folder, const QStringList& expected) {
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                               QDir::NoDotAndDotDot);
    for (const QString& name : expected)
        names.removeAll(name);
    names.sort();
    return names;
}

void Resize(const QString& path, qint64 size) {
    QVERIFY(::truncate(QFile::encodeName(path).constData(), size) == 0);
}

QByteArray Digest(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// Whether this process has the file open, as its descriptors in /proc show.
bool IsOpenHere(const QString& path) {
    const QString wanted = QFileInfo(path).canonicalFilePath();
    const QDir descriptors("/proc/self/fd");
    for (const QString& fd :
         descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
        if (QFile::symLinkTarget(descriptors.filePath(fd)) == wanted)
            return true;
    return false;
}

// The SHA-256 of an entry's data as Python's zipfile reads it, which also checks its CRC.
QByteArray EntryDigest(const QString& archive, const QString& name) {
    QString output;
    const int code =
        TestTree::RunPython("import hashlib, sys, zipfile\n"
                            "with zipfile.ZipFile(sys.argv[1]) as z:\n"
                            "    print(hashlib.sha256(z.read(sys.argv[2])).hexdigest(), end='')\n",
                            {archive, name}, &output);
    return code == 0 ? output.toLatin1() : "python failed: " + output.toUtf8();
}

} // namespace

class TestZipWriterFaults : public QObject {
    Q_OBJECT

private slots:
    void diskFillsUp_data() {
        QTest::addColumn<QString>("where");
        QTest::addColumn<bool>("earlier");
        for (const char* where : {"in the first entry", "half-way", "in the last kilobyte"}) {
            QTest::addRow("%s, no earlier archive", where) << where << false;
            QTest::addRow("%s, over an earlier archive", where) << where << true;
        }
    }
    void diskFillsUp() {
        QFETCH(QString, where);
        QFETCH(bool, earlier);
        QTemporaryDir dir;
        const QString folder = dir.filePath("pack");
        // Incompressible, and more than the writer gathers in memory, so the limit is met by
        // writes during the entries as well as by the last one at the commit.
        TestTree::WriteFile(folder + "/one.bin", TestTree::RandomBytes(1'300'000, 1));
        TestTree::WriteFile(folder + "/two.bin", TestTree::RandomBytes(1'200'000, 2));
        TestTree::WriteFile(folder + "/three.txt", "three\n");

        // The size the archive would have, from an unlimited run.
        QString output;
        QCOMPARE(ZipTools::ZipWithCli(folder, &output), 0);
        const qint64 size = QFileInfo(folder + ".zip").size();
        QVERIFY(QFile::remove(folder + ".zip"));
        const qint64 limitBlocks = where == "in the first entry" ? 100
                                   : where == "half-way"         ? size / 2048
                                                                 : (size - 1) / 1024;
        if (earlier)
            TestTree::WriteFile(folder + ".zip", EarlierArchive);

        const int code =
            ZipTools::ZipWithCli(folder, &output, QString("ulimit -f %1").arg(limitBlocks));
        QVERIFY2(code == 1, qPrintable(QString("exit %1: %2").arg(code).arg(output)));
        if (earlier)
            QCOMPARE(ReadAll(folder + ".zip"), EarlierArchive);
        else
            QVERIFY(!QFile::exists(folder + ".zip"));
        QCOMPARE(Leftovers(dir.path(), {"pack", "pack.zip"}), QStringList{});
    }

    // A file that changes between the walk and its first read is stored as it is when opened;
    // one that is no longer a regular file fails the run, naming it.
    void fileChangesBeforeItIsRead_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("stored");
        QTest::newRow("grows: stored whole") << "grows" << true;
        QTest::newRow("shrinks: stored whole") << "shrinks" << true;
        QTest::newRow("empty file grows: stored whole") << "empty grows" << true;
        QTest::newRow("vanishes") << "vanishes" << false;
        QTest::newRow("turns into a folder") << "folder" << false;
        QTest::newRow("turns into a FIFO") << "fifo" << false;
        QTest::newRow("turns into a link") << "link" << false;
        QTest::newRow("becomes unreadable") << "unreadable" << false;
    }
    void fileChangesBeforeItIsRead() {
        QFETCH(QString, change);
        QFETCH(bool, stored);
        if (change == "unreadable" && ::geteuid() == 0)
            QSKIP("root reads any file");
        QTemporaryDir dir;
        const QString first = dir.filePath("first.txt");
        const QString changing = dir.filePath(change == "empty grows" ? "empty" : "changing.bin");
        const QString archive = dir.filePath("out.zip");
        TestTree::WriteFile(first, "first\n");
        TestTree::WriteFile(
            changing, change == "empty grows" ? QByteArray() : TestTree::RandomBytes(Chunk + 9, 3));
        TestTree::WriteFile(archive, EarlierArchive);

        CZipArchive zip;
        zip.Open(archive, CZipArchive::zipCreate);
        zip.AddNewFile(QFile::encodeName(first).toStdString(), "first.txt");
        zip.AddNewFile(QFile::encodeName(changing).toStdString(), "changing");
        const QByteArray narrow = QFile::encodeName(changing);
        if (change == "grows" || change == "empty grows") {
            QFile file(changing);
            QVERIFY(file.open(QIODevice::Append));
            file.write("more");
        } else if (change == "shrinks") {
            Resize(changing, Chunk);
        } else if (change == "vanishes") {
            QVERIFY(QFile::remove(changing));
        } else if (change == "folder") {
            QVERIFY(QFile::remove(changing));
            QVERIFY(QDir().mkdir(changing));
        } else if (change == "fifo") {
            // Opened for reading in the usual way, a FIFO without a writer blocks for ever.
            QVERIFY(QFile::remove(changing));
            QVERIFY(::mkfifo(narrow.constData(), 0644) == 0);
        } else if (change == "link") {
            QVERIFY(QFile::remove(changing));
            QVERIFY(QFile::link(first, changing));
        } else if (change == "unreadable") {
            QVERIFY(::chmod(narrow.constData(), 0) == 0);
        }

        if (stored) {
            zip.Close();
            QCOMPARE(EntryDigest(archive, "changing"), Digest(ReadAll(changing)));
            QCOMPARE(zip.GetChangedFileCount(), quint64(0));
            return;
        }
        try {
            zip.Close();
            QFAIL("Close succeeded");
        } catch (const CZipException& error) {
            // The message names the file, since libzip's own would not.
            QVERIFY2(QString::fromLocal8Bit(error.what()).contains(changing), error.what());
        }
        QCOMPARE(ReadAll(archive), EarlierArchive);
        QCOMPARE(Leftovers(dir.path(), {"first.txt", "out.zip", QFileInfo(changing).fileName()}),
                 QStringList{});
    }

    // A file that changes while its chunks are read is stored as read through the one
    // descriptor it was opened with: one version with its own CRC, never the start of one and
    // the end of another. A change of size is counted, so the user hears of it.
    void fileChangesWhileItIsRead_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<qint64>("newSize");
        QTest::addColumn<bool>("noted");
        QTest::newRow("renamed over by a save of the same size")
            << "renamed" << 80 * Chunk << false;
        QTest::newRow("grows") << "resized" << 80 * Chunk + 1 << true;
        QTest::newRow("shrinks") << "resized" << 60 * Chunk << true;
    }
    void fileChangesWhileItIsRead() {
        // The large file has more chunks than the pool may read ahead of the writer, so when
        // the small file before it is written its end has not been read yet.
        QFETCH(QString, change);
        QFETCH(qint64, newSize);
        QFETCH(bool, noted);
        QTemporaryDir dir;
        const QString small = dir.filePath("small.txt");
        const QString large = dir.filePath("large.bin"); // sparse: zeros compress at once
        const QString archive = dir.filePath("out.zip");
        const auto sparse = [](const QString& path, qint64 size, const QByteArray& end) {
            TestTree::WriteFile(path, {});
            Resize(path, size - end.size());
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            file.write(end);
        };
        TestTree::WriteFile(small, "small\n");
        sparse(large, 80 * Chunk, "the old version ends here");
        const QByteArray oldDigest = Digest(ReadAll(large));

        CZipArchive zip;
        zip.SetThreadCount(2);
        zip.Open(archive, CZipArchive::zipCreate);
        zip.AddNewFile(QFile::encodeName(small).toStdString(), "small.txt");
        zip.AddNewFile(QFile::encodeName(large).toStdString(), "large.bin");
        zip.SetEntryWrittenCallback([&](std::uint64_t index) {
            if (index != 0)
                return;
            // Changed once the pool has it open, which it may not yet have under load.
            QTRY_VERIFY_WITH_TIMEOUT(IsOpenHere(large), 20000);
            if (change == "renamed") {
                sparse(large + ".new", newSize, "the new version ends here");
                QVERIFY(::rename(QFile::encodeName(large + ".new"), QFile::encodeName(large)) == 0);
            } else {
                Resize(large, newSize);
            }
        });
        zip.Close();
        const QByteArray stored = EntryDigest(archive, "large.bin");
        if (change == "renamed")
            QVERIFY2(stored == oldDigest || stored == Digest(ReadAll(large)), "a mix of versions");
        else
            QCOMPARE(stored, Digest(ReadAll(large)));
        QCOMPARE(zip.GetChangedFileCount(), quint64(noted ? 1 : 0));
        QCOMPARE(QString::fromStdString(zip.GetFirstChangedFile()),
                 noted ? QFile::encodeName(large) : QString());
        QCOMPARE(Leftovers(dir.path(), {"small.txt", "large.bin", "out.zip"}), QStringList{});
    }

    void refusedAtOnce_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("a missing file") << "missing";
        QTest::newRow("a FIFO") << "fifo";
        QTest::newRow("a folder") << "folder";
        QTest::newRow("an archive in a folder that is not there") << "no folder";
    }
    void refusedAtOnce() {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath("special"));
        if (kind == "fifo")
            QVERIFY(::mkfifo(path.constData(), 0644) == 0);
        else if (kind == "folder")
            QVERIFY(QDir().mkdir(dir.filePath("special")));
        CZipArchive zip;
        if (kind == "no folder") {
            QVERIFY_THROWS_EXCEPTION(
                CZipException, zip.Open(dir.filePath("missing/out.zip"), CZipArchive::zipCreate));
            return;
        }
        zip.Open(dir.filePath("out.zip"), CZipArchive::zipCreate);
        QVERIFY_THROWS_EXCEPTION(CZipException, zip.AddNewFile(path.toStdString(), "special"));
    }

    void emptyFolderGivesAnEmptyArchive_data() {
        QTest::addColumn<bool>("earlier");
        QTest::newRow("no earlier archive") << false;
        QTest::newRow("over an earlier archive") << true;
    }
    void emptyFolderGivesAnEmptyArchive() {
        QFETCH(bool, earlier);
        QTemporaryDir dir;
        const QString folder = dir.filePath("nothing");
        QVERIFY(QDir().mkdir(folder));
        if (earlier)
            TestTree::WriteFile(folder + ".zip", EarlierArchive, 0640);
        QString output;
        QCOMPARE(ZipTools::ZipWithCli(folder, &output), 0);
        // Replaced by an archive with no entries, not deleted.
        QCOMPARE(ReadAll(folder + ".zip"), EmptyArchive);
        if (earlier) // a replaced archive keeps its permissions
            QCOMPARE(QFile::permissions(folder + ".zip"), QFile::ReadOwner | QFile::WriteOwner |
                                                              QFile::ReadUser | QFile::WriteUser |
                                                              QFile::ReadGroup);
        QCOMPARE(Leftovers(dir.path(), {"nothing", "nothing.zip"}), QStringList{});
    }

    void archivePathTakenByAFolder() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("pack");
        TestTree::WriteFile(folder + "/file.txt", "file\n");
        TestTree::WriteFile(folder + ".zip/inside", "kept\n");
        QString output;
        QCOMPARE(ZipTools::ZipWithCli(folder, &output), 1);
        QCOMPARE(ReadAll(folder + ".zip/inside"), QByteArray("kept\n"));
        QCOMPARE(Leftovers(dir.path(), {"pack", "pack.zip"}), QStringList{});
    }

    void temporariesOfAKilledRunAreRemoved() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("pack");
        TestTree::WriteFile(folder + "/file.txt", "file\n");
        // One left by a killed run, one a running writer still holds, and look-alikes that
        // are not ours.
        TestTree::WriteFile(dir.filePath(".pack.zip.tarvo-Ab12Cd"), "stale");
        TestTree::WriteFile(dir.filePath(".pack.zip.tarvo-Xy34Zw"), "in use");
        TestTree::WriteFile(dir.filePath(".pack.zip.tarvo-toolong"), "not ours");
        TestTree::WriteFile(dir.filePath("pack.zip.Ab12Cd"), "not ours");
        const int held =
            ::open(QFile::encodeName(dir.filePath(".pack.zip.tarvo-Xy34Zw")), O_RDONLY | O_CLOEXEC);
        QVERIFY(held >= 0);
        const auto release = qScopeGuard([held] { ::close(held); });
        QVERIFY(::flock(held, LOCK_EX) == 0);

        QString output;
        QCOMPARE(ZipTools::ZipWithCli(folder, &output), 0);
        QCOMPARE(
            Leftovers(dir.path(), {"pack", "pack.zip"}),
            (QStringList{".pack.zip.tarvo-Xy34Zw", ".pack.zip.tarvo-toolong", "pack.zip.Ab12Cd"}));
    }
};

QTEST_GUILESS_MAIN(TestZipWriterFaults)
#include "tst_zipwriter_faults.moc"
