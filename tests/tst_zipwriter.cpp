// Archives written by CZipArchive, and by tarvo-cli through the zip worker, read back by the
// outside readers: the tree that comes out must be the tree that went in.

#include "archive/WalkFolder.h"
#include "support/TestTree.h"
#include "support/ZipTools.h"
#include "ziparchive/CZipArchive.h"
#include "ziparchive/fs/ToNarrow.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr qsizetype Chunk = 719'984;

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
            QCOMPARE(entry["text"].toString(), name);
            QCOMPARE(entry["method"].toInt(), 12);
            QVERIFY(!entry["dir"].toBool());
            QCOMPARE(entry["utf8"].toBool(), name.toLatin1() != name.toUtf8());
            QCOMPARE(entry["host"].toInt(), 3); // Unix
            QCOMPARE(entry["mode"].toInt(), int(S_IFREG | (info.st_mode & 07777)));
            QCOMPARE(entry["size"].toInteger(), qint64(info.st_size));
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

    void namesThatAreNotUtf8_data() {
        QTest::addColumn<QByteArray>("rawName");
        QTest::addColumn<bool>("stored"); // false: refused with an exception
        QTest::newRow("Latin-1: stored raw") << QByteArray("caf\xe9 \xff.txt") << true;
        QTest::newRow("a sequence cut short: stored raw") << QByteArray("cut\xe6\x97.txt") << true;
        QTest::newRow("UTF-8 with a control byte: stored raw")
            << QByteArray("bell\x07 \xc3\xa9.txt") << true;
        // libzip flags these as UTF-8, and Python's zipfile would then refuse the archive.
        QTest::newRow("an encoded surrogate: stored raw")
            << QByteArray("half\xed\xa0\x80.txt") << true;
        QTest::newRow("an overlong form: stored raw") << QByteArray("long\xc1\xbf.txt") << true;
    }
    void namesThatAreNotUtf8() {
        QFETCH(QByteArray, rawName);
        QFETCH(bool, stored);
        QTemporaryDir dir;
        // Qt cannot name such a file; it is made, and removed, by its bytes.
        const QByteArray path = QFile::encodeName(dir.path()) + "/" + rawName;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        const bool written = ::write(fd, "latin\n", 6) == 6;
        ::close(fd);
        const auto removeFile = qScopeGuard([&path] { ::unlink(path.constData()); });
        QVERIFY(written);

        const QString archive = dir.filePath("raw.zip");
        CZipArchive zip;
        zip.Open(archive, CZipArchive::zipCreate);
        if (!stored) {
            QVERIFY_THROWS_EXCEPTION(CZipException,
                                     zip.AddNewFile(path.toStdString(), rawName.toStdString()));
            return;
        }
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
            QVERIFY(!ZipTools::NamesStartingWith(dir.path(), ".progress.zip.").isEmpty());
        });
        std::vector<std::uint64_t> expected(Walk(m_source).size());
        std::iota(expected.begin(), expected.end(), 0);
        QVERIFY(calls == expected);
        QVERIFY(QFile::exists(archive));
        QCOMPARE(ZipTools::NamesStartingWith(dir.path(), ".progress.zip."), QStringList{});
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
};

QTEST_GUILESS_MAIN(TestZipWriter)
#include "tst_zipwriter.moc"
