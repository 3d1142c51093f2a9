// Archives written by CZipArchive, and by tarvo-cli through the zip worker, read back by the
// outside readers and our own: the tree that comes out must be the tree that went in, also past
// the limits of the plain zip format (more entries than its 16-bit counts hold, files of 4 GiB
// and more). Zipping under trouble (a full disk, files that change, vanish or turn into
// something else, a path that cannot take the archive) fails clearly and leaves nothing behind:
// no archive, no temporary, and an earlier archive of the same name byte for byte as it was. A
// file that changes while it is read is stored as read, one version whole.

#include "archive/WalkFolder.h"
#include "support/ReaderRun.h"
#include "support/TestTree.h"
#include "support/ZipTools.h"
#include "ziparchive/CZipArchive.h"
#include "ziparchive/fs/ToNarrow.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr qint64 Chunk = 719'984;

// Every file below folder in walk order, as full paths and as names relative to the folder.
std::vector<std::pair<std::string, std::string>> Walk(const QString& folder) {
    const std::string narrow = ToNarrow(folder);
    std::vector<std::string> files;
    WalkFolder(narrow, files);
    std::vector<std::pair<std::string, std::string>> walked;
    for (const std::string& file : files)
        walked.emplace_back(file, file.substr(narrow.size() + 1));
    return walked;
}

// Zips every file below folder the way the zip worker does.
void ZipFolder(const QString& folder, const QString& archive, unsigned threads,
               std::function<void(std::uint64_t)> entryWritten = {}) {
    CZipArchive zip;
    zip.SetThreadCount(threads);
    zip.Open(archive, CZipArchive::zipCreate);
    zip.SetCompressionMethod(CZipArchive::methodBzip2);
    for (const auto& [path, name] : Walk(folder))
        zip.AddNewFile(path, name);
    if (entryWritten)
        zip.SetEntryWrittenCallback(std::move(entryWritten));
    zip.Close();
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A real archive, since Tarvo replaces nothing else: no entries, and a comment to tell it apart.
const QByteArray EarlierArchive = QByteArray("PK\x05\x06", 4) + QByteArray(16, '\0') +
                                  QByteArray("\x25\0", 2) +
                                  "an earlier archive that must survive\n";
// An end record alone: the archive every reader takes as holding no entries.
const QByteArray EmptyArchive = QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');

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

QByteArray Tail(const QString& path, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(std::max<qint64>(0, file.size() - size)))
        return {};
    return file.readAll();
}

// Writes a few distinct bytes at places across an otherwise sparse file, so a reader that
// dropped or shifted data anywhere would show it in the hash.
void WriteMarkedSparseFile(const QString& path, qint64 size) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QVERIFY(file.resize(size));
    for (const qint64 at : {qint64{0}, size / 3, (qint64{1} << 32) - 7, size - 5}) {
        if (at < 0 || at + 5 > size)
            continue;
        QVERIFY(file.seek(at));
        file.write(QByteArray::number(at % 99991).rightJustified(5, '0'));
    }
}

} // namespace

class TestZipWriter : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_source;      // the folder that is zipped
    QString m_single;      // one file zipped on its own
    QString m_cliArchive;  // the folder zipped by tarvo-cli
    QString m_fileArchive; // the single file zipped by tarvo-cli
    std::thread::id m_mainThread = std::this_thread::get_id();

private slots:
    void initTestCase() {
        // Names outside ASCII reach bsdtar and unzip only in a UTF-8 locale.
        qputenv("LC_ALL", "C.UTF-8");
        QVERIFY(m_dir.isValid());
        m_source = m_dir.filePath("source");
        const auto put = [this](const QString& name, const QByteArray& content, int mode = -1) {
            TestTree::WriteFile(m_source + "/" + name, content, mode);
        };
        put("top.txt", TestTree::TextBytes(10'000, 1));
        put(".hidden", "not shown by ls\n");
        put("empty", {});
        put("name with spaces.txt", "spaces\n");
        put(QString::fromUtf8("ünïcödé/日本語 файл.txt"), TestTree::TextBytes(3'000, 2));
        put("bin/run.sh", "#!/bin/sh\necho run\n", 0755);
        put("bin/private.key", TestTree::RandomBytes(64, 3), 0600);
        put("deep/a/b/c/d/leaf.txt", "leaf\n");
        put("data/.hidden folder/inner", "inner\n");
        put("data/random.bin", TestTree::RandomBytes(2 * Chunk + 12'345, 4));
        put("data/text.log", TestTree::TextBytes(2 * Chunk + 999, 5));
        put("data/exactly one chunk.bin", TestTree::RandomBytes(Chunk, 6));
        put("data/one more.bin", TestTree::RandomBytes(Chunk + 1, 7));
        put("data/zeros", QByteArray(3 * Chunk, '\0'));

        m_single = m_dir.filePath("single/report final.txt");
        TestTree::WriteFile(m_single, TestTree::TextBytes(Chunk + 100, 8), 0640);

        QString output;
        QCOMPARE(ZipTools::ZipWithCli(m_source, &output), 0);
        m_cliArchive = m_source + ".zip";
        QCOMPARE(ZipTools::ZipWithCli(m_single, &output), 0);
        m_fileArchive = m_single + ".zip";
    }

    void readersUnpackTheSameTree_data() {
        QTest::addColumn<QString>("reader");
        QTest::addColumn<bool>("folder");
        for (const QString& reader : ZipTools::ReaderNames()) {
            QTest::addRow("folder, %s", qPrintable(reader)) << reader << true;
            QTest::addRow("single file, %s", qPrintable(reader)) << reader << false;
        }
    }
    void readersUnpackTheSameTree() {
        QFETCH(QString, reader);
        QFETCH(bool, folder);
        const QString out = m_dir.filePath("out/" + reader + (folder ? "/folder" : "/file"));
        const QString error =
            ZipTools::TestAndUnpack(reader, folder ? m_cliArchive : m_fileArchive, out);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        if (folder) {
            QCOMPARE(TestTree::Snapshot(out), TestTree::Snapshot(m_source));
        } else {
            QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                     QStringList{"report final.txt"});
            QCOMPARE(ReadAll(out + "/report final.txt"), ReadAll(m_single));
            QCOMPARE(QFile::permissions(out + "/report final.txt"), QFile::permissions(m_single));
        }
    }

    void entriesAreStoredAsAdded() {
        const QJsonArray entries = ZipTools::ListEntries(m_cliArchive);
        const auto walked = Walk(m_source);
        QCOMPARE(entries.size(), qsizetype(walked.size()));
        for (qsizetype i = 0; i < entries.size(); ++i) {
            const QJsonObject entry = entries[i].toObject();
            const QString name = ToWide(walked[i].second);
            struct stat info {};
            ::stat(walked[i].first.c_str(), &info);
            // Modes, sizes and contents are compared through the readers above.
            QCOMPARE(entry["text"].toString(), name);
            QCOMPARE(entry["method"].toInt(), 12);
            QCOMPARE(entry["utf8"].toBool(), name.toLatin1() != name.toUtf8());
            QCOMPARE(entry["utcTime"].toInteger(), qint64(info.st_mtime));
            // DOS time: local time in steps of two seconds, rounded down.
            const QDateTime local = QDateTime::fromSecsSinceEpoch(info.st_mtime & ~qint64{1});
            QCOMPARE(entry["dosTime"].toString(), local.toString("yyyy-MM-dd HH:mm:ss"));
        }
    }

    // Times outside the DOS date's 1980-2107 keep their exact value in the extended timestamp
    // (its 32 bits reach 1901-2106), and the DOS date is clamped rather than wrapped round.
    void timesOutsideTheDosRange_data() {
        QTest::addColumn<qint64>("mtime");
        QTest::addColumn<bool>("exact"); // kept in the extended timestamp
        QTest::addColumn<QString>("dosTime");
        QTest::newRow("1975: DOS date clamped to 1980")
            << qint64(171'892'800) << true << "1980-01-01 00:00:00";
        QTest::newRow("2040: past the signed 32 bits") << qint64(2'208'988'800) << true << "";
        QTest::newRow("2106: the field's last year") << qint64(4'294'000'000) << true << "";
        QTest::newRow("2110: DOS date clamped to 2107, no exact time")
            << qint64(4'417'977'600) << false << "2107-12-31 23:59:58";
    }
    void timesOutsideTheDosRange() {
        QFETCH(qint64, mtime);
        QFETCH(bool, exact);
        QFETCH(QString, dosTime);
        QTemporaryDir dir;
        const QString file = dir.filePath("dated.txt");
        TestTree::WriteFile(file, "dated\n");
        const timespec times[2] = {{mtime, 0}, {mtime, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0), 0);
        const QString archive = dir.filePath("dated.zip");
        CZipArchive zip;
        zip.Open(archive, CZipArchive::zipCreate);
        zip.AddNewFile(QFile::encodeName(file).toStdString(), "dated.txt");
        zip.Close();

        const QJsonObject entry = ZipTools::ListEntries(archive).at(0).toObject();
        const QString localTime =
            QDateTime::fromSecsSinceEpoch(mtime & ~qint64{1}).toString("yyyy-MM-dd HH:mm:ss");
        QCOMPARE(entry["dosTime"].toString(), dosTime.isEmpty() ? localTime : dosTime);
        if (exact) // the field's 32 bits, as the listing reads them signed
            QCOMPARE(entry["utcTime"].toInteger(), qint64(qint32(quint32(mtime))));
        else
            QCOMPARE(entry["utcTime"].toInteger(), qint64(-1));

        // Tarvo's own unzip gives back the exact time, or the clamped DOS time.
        CZipArchive reader;
        reader.Open(archive);
        const QString out = dir.filePath("out");
        QVERIFY(QDir().mkpath(out));
        reader.SetExtractionRoot(out);
        QVERIFY(reader.TestFile(0));
        reader.ExtractFile(0, out);
        reader.Close();
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(out + "/dated.txt").constData(), &info), 0);
        const qint64 expected =
            exact ? mtime
                  : QDateTime::fromString(dosTime, "yyyy-MM-dd HH:mm:ss").toSecsSinceEpoch();
        QCOMPARE(qint64(info.st_mtime), expected);
    }

    // Stored raw and not flagged as UTF-8: libzip would flag an encoded surrogate or an
    // overlong form as UTF-8, and Python's zipfile would then refuse the archive.
    void namesThatAreNotUtf8_data() {
        QTest::addColumn<QByteArray>("rawName");
        QTest::newRow("Latin-1") << QByteArray("caf\xe9 \xff.txt");
        QTest::newRow("a sequence cut short") << QByteArray("cut\xe6\x97.txt");
        QTest::newRow("UTF-8 with a control byte") << QByteArray("bell\x07 \xc3\xa9.txt");
        QTest::newRow("an encoded surrogate") << QByteArray("half\xed\xa0\x80.txt");
        QTest::newRow("an overlong form") << QByteArray("long\xc1\xbf.txt");
    }
    void namesThatAreNotUtf8() {
        QFETCH(QByteArray, rawName);
        QTemporaryDir dir;
        // Qt cannot name such a file; it is made, and removed, by its bytes.
        const QByteArray path = QFile::encodeName(dir.path()) + "/" + rawName;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const bool written = fd >= 0 && ::write(fd, "latin\n", 6) == 6 && ::close(fd) == 0;
        const auto removeFile = qScopeGuard([&path] { ::unlink(path.constData()); });
        QVERIFY(written);
        const QString archive = dir.filePath("raw.zip");
        CZipArchive zip;
        zip.Open(archive, CZipArchive::zipCreate);
        zip.AddNewFile(path.toStdString(), rawName.toStdString());
        zip.Close();
        const QJsonArray entries = ZipTools::ListEntries(archive);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries[0].toObject()["name"].toString().toLatin1(), rawName.toHex());
        QVERIFY(!entries[0].toObject()["utf8"].toBool());
        QCOMPARE(TestTree::Run("unzip", {"-tq", archive}), 0);
        QCOMPARE(TestTree::Run("7zz", {"t", archive}), 0);
    }

    void sameBytesWhateverTheThreadCount() {
        QTemporaryDir dir;
        QByteArray first;
        for (unsigned threads : {1u, 2u, 4u}) {
            const QString archive = dir.filePath(QString("threads-%1.zip").arg(threads));
            ZipFolder(m_source, archive, threads);
            const QByteArray bytes = ReadAll(archive);
            QVERIFY(!bytes.isEmpty());
            if (first.isEmpty())
                first = bytes;
            else
                QVERIFY2(bytes == first, qPrintable(QString("%1 threads differ").arg(threads)));
        }
        // tarvo-cli, on as many threads as there are cores, writes the same archive too.
        QVERIFY(ReadAll(m_cliArchive) == first);
    }

    void entryWrittenFiresInOrderOnTheClosingThread() {
        QTemporaryDir dir;
        const QString archive = dir.filePath("progress.zip");
        std::vector<std::uint64_t> calls;
        ZipFolder(m_source, archive, 2, [&](std::uint64_t index) {
            calls.push_back(index);
            QVERIFY(std::this_thread::get_id() == m_mainThread);
            // Written into the temporary; the archive appears only once it is whole.
            QVERIFY(!QFile::exists(archive));
            QVERIFY(!TestTree::Strays(dir.path(), {}).isEmpty());
        });
        std::vector<std::uint64_t> expected(Walk(m_source).size());
        std::iota(expected.begin(), expected.end(), 0);
        QVERIFY(calls == expected);
        QVERIFY(QFile::exists(archive));
        QCOMPARE(TestTree::Strays(dir.path(), {"progress.zip"}), QStringList{});
    }

    void callbackThatThrowsStopsTheArchive() {
        QTemporaryDir dir;
        const QString archive = dir.filePath("stopped.zip");
        struct Stop : std::runtime_error {
            Stop() : std::runtime_error("stop") {}
        };
        QVERIFY_THROWS_EXCEPTION(Stop, ZipFolder(m_source, archive, 2, [](std::uint64_t index) {
                                     if (index == 2)
                                         throw Stop();
                                 }));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{});
    }

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
        QCOMPARE(TestTree::Strays(dir.path(), {"pack", "pack.zip"}), QStringList{});
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
        QCOMPARE(
            TestTree::Strays(dir.path(), {"first.txt", "out.zip", QFileInfo(changing).fileName()}),
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
        QCOMPARE(TestTree::Strays(dir.path(), {"small.txt", "large.bin", "out.zip"}),
                 QStringList{});
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
        QCOMPARE(TestTree::Strays(dir.path(), {"nothing", "nothing.zip"}), QStringList{});
    }

    void archivePathTakenByAFolder() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("pack");
        TestTree::WriteFile(folder + "/file.txt", "file\n");
        TestTree::WriteFile(folder + ".zip/inside", "kept\n");
        QString output;
        QCOMPARE(ZipTools::ZipWithCli(folder, &output), 1);
        QCOMPARE(ReadAll(folder + ".zip/inside"), QByteArray("kept\n"));
        QCOMPARE(TestTree::Strays(dir.path(), {"pack", "pack.zip"}), QStringList{});
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
            TestTree::Strays(dir.path(), {"pack", "pack.zip"}),
            (QStringList{".pack.zip.tarvo-Xy34Zw", ".pack.zip.tarvo-toolong", "pack.zip.Ab12Cd"}));
    }

    void manyEntries_data() {
        QTest::addColumn<int>("count");
        // libzip still writes the plain end record here, its count 0xFFFF; every reader
        // takes that as the count.
        QTest::newRow("65,535: the most the count field holds") << 65'535;
        QTest::newRow("65,536: more than the count field holds") << 65'536;
    }
    void manyEntries() {
        QFETCH(int, count);
        QTemporaryDir dir;
        const QString small = dir.filePath("small.txt");
        const QString empty = dir.filePath("empty");
        TestTree::WriteFile(small, "x\n");
        TestTree::WriteFile(empty, {});
        const QString archive = dir.filePath("many.zip");
        {
            CZipArchive zip;
            zip.Open(archive, CZipArchive::zipCreate);
            const std::string smallPath = QFile::encodeName(small).toStdString();
            const std::string emptyPath = QFile::encodeName(empty).toStdString();
            for (int i = 0; i < count; ++i) {
                const std::string name =
                    "d" + std::to_string(i / 1000) + "/f" + std::to_string(i % 1000);
                zip.AddNewFile(i % 7 == 0 ? smallPath : emptyPath, name);
            }
            zip.Close();
        }
        // Past 65,535 the count needs the ZIP64 end record and its locator.
        const bool zip64 = count > 0xFFFF;
        QCOMPARE(Tail(archive, 200).contains(QByteArray("PK\x06\x06", 4)), zip64);
        QCOMPARE(Tail(archive, 200).contains(QByteArray("PK\x06\x07", 4)), zip64);

        // Each reader tests the archive and counts its entries.
        for (const QString counter :
             {"unzip -tq \"$1\" > /dev/null && unzip -Z1 \"$1\" | wc -l",
              "7zz t \"$1\" | sed -n 's/^Files: //p'", "bsdtar -tf \"$1\" | wc -l",
              "python3 -c 'import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\n"
              "assert z.testzip() is None\nprint(len(z.infolist()))' \"$1\""}) {
            QString output;
            QCOMPARE(TestTree::Run("bash", {"-c", "set -o pipefail; " + counter, "bash", archive},
                                   {}, &output),
                     0);
            QVERIFY2(output.trimmed() == QString::number(count),
                     qPrintable(counter + ": " + output));
        }
        // And so does ours, with every entry coming out.
        QCOMPARE(ReaderRun::Unpack(archive, dir.filePath("many")), "succeeded");
        const auto tree = TestTree::Snapshot(dir.filePath("many"), false);
        QCOMPARE(std::count_if(tree.begin(), tree.end(), [](auto& item) { return item[0] == 'f'; }),
                 qsizetype{count});
    }

    void sizeLibzipCannotRecordIsRefused() {
        // At exactly 4 GiB less one byte libzip's central directory says "see the ZIP64 field"
        // and leaves that field empty. A clear refusal beats an archive readers reject.
        QTemporaryDir dir;
        const QString file = dir.filePath("just under.bin");
        WriteMarkedSparseFile(file, (qint64{1} << 32) - 1);
        CZipArchive zip;
        zip.Open(dir.filePath("out.zip"), CZipArchive::zipCreate);
        QVERIFY_THROWS_EXCEPTION(CZipException,
                                 zip.AddNewFile(QFile::encodeName(file).toStdString(), "f"));
    }

    void largeFile_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("zip64InDirectory");
        // Below 4 GiB, but compressed data that size could pass 32 bits, so the local header
        // has ZIP64 fields from the start; the directory needs none.
        QTest::newRow("4 GiB less two bytes") << (qint64{1} << 32) - 2 << false;
        QTest::newRow("4 GiB and 3 MiB") << (qint64{1} << 32) + (3 << 20) << true;
    }
    void largeFile() {
        if (qEnvironmentVariableIntValue("TARVO_SLOW_TESTS") != 1)
            QSKIP("slow: set TARVO_SLOW_TESTS=1 to zip and unpack files of 4 GiB");
        QFETCH(qint64, size);
        QFETCH(bool, zip64InDirectory);
        QTemporaryDir dir;
        const QString file = dir.filePath("large.bin");
        const QString archive = file + ".zip";
        WriteMarkedSparseFile(file, size);
        QString output;
        QCOMPARE(ZipTools::ZipWithCli(file, &output), 0);
        const QJsonArray entries = ZipTools::ListEntries(archive);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries[0].toObject()["size"].toInteger(), size);
        QCOMPARE(entries[0].toObject()["zip64"].toBool(), zip64InDirectory);
        QCOMPARE(TestTree::Run("unzip", {"-tq", archive}, {}, &output, 900'000), 0);
        QCOMPARE(TestTree::Run("7zz", {"t", archive}, {}, &output, 900'000), 0);

        // The data through bsdtar and through Python's zipfile, hashed on the way. zipfile is
        // read in small steps: a zero-filled entry compresses so well that one large read
        // would inflate gigabytes at once.
        QString expected;
        for (const QString unpack :
             {"cat \"$1\"", "bsdtar -xOf \"$1.zip\"",
              "python3 -c 'import shutil, sys, zipfile\n"
              "with zipfile.ZipFile(sys.argv[1]) as z, z.open(z.infolist()[0]) as f:\n"
              "    shutil.copyfileobj(f, sys.stdout.buffer, 1 << 16)' \"$1.zip\""}) {
            QCOMPARE(TestTree::Run("bash", {"-c", unpack + " | sha1sum", "bash", file}, {}, &output,
                                   900'000),
                     0);
            if (expected.isEmpty())
                expected = output.section(' ', 0, 0);
            QVERIFY2(output.startsWith(expected + ' '), qPrintable(unpack));
        }
    }
};

int main(int argc, char** argv) {
    // Zipping and unpacking 4 GiB four times takes longer than QtTest's five minutes per
    // function on a busy machine.
    if (qEnvironmentVariableIsEmpty("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", "3600000");
    QCoreApplication app(argc, argv);
    TestZipWriter test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_zipwriter.moc"
