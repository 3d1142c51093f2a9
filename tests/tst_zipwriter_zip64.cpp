// Archives past the limits of the plain zip format: more entries than its 16-bit counts hold,
// and files of 4 GiB and more. Every reader must see them whole.

#include "support/TestTree.h"
#include "support/ZipTools.h"
#include "ziparchive/CZipArchive.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

QByteArray Tail(const QString& path, qint64 size) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(std::max<qint64>(0, file.size() - size)))
        return {};
    return file.readAll();
}

int CountLines(const QString& text) {
    return int(text.split('\n', Qt::SkipEmptyParts).size());
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

class TestZipWriterZip64 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("LC_ALL", "C.UTF-8"); }

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

        QString output;
        QCOMPARE(TestTree::Run("unzip", {"-tq", archive}, {}, &output), 0);
        QCOMPARE(TestTree::Run("unzip", {"-Z1", archive}, {}, &output), 0);
        QCOMPARE(CountLines(output), count);
        QCOMPARE(TestTree::Run("7zz", {"t", archive}, {}, &output), 0);
        QVERIFY2(output.contains(QString("Files: %1").arg(count)), qPrintable(output));
        QCOMPARE(TestTree::RunPython("import sys, zipfile\n"
                                     "z = zipfile.ZipFile(sys.argv[1])\n"
                                     "assert z.testzip() is None\n"
                                     "print(len(z.infolist()))",
                                     {archive}, &output),
                 0);
        QCOMPARE(output.trimmed().toInt(), count);
        QCOMPARE(TestTree::Run("bsdtar", {"-tf", archive}, {}, &output), 0);
        QCOMPARE(CountLines(output), count);
    }

    void largeFile_data() {
        QTest::addColumn<qint64>("size");
        // Below 4 GiB, but the compressed data could pass 32 bits: ZIP64 from the start.
        QTest::newRow("4 GiB less one byte") << (qint64{1} << 32) - 1;
        QTest::newRow("4 GiB and 3 MiB") << (qint64{1} << 32) + (3 << 20);
    }
    void largeFile() {
        if (qEnvironmentVariableIntValue("TARVO_SLOW_TESTS") != 1)
            QSKIP("slow: set TARVO_SLOW_TESTS=1 to zip and unpack files of 4 GiB");
        QFETCH(qint64, size);
        QTemporaryDir dir;
        const QString file = dir.filePath("large.bin");
        WriteMarkedSparseFile(file, size);
        QFile source(file);
        QVERIFY(source.open(QIODevice::ReadOnly));
        QCryptographicHash hash(QCryptographicHash::Sha1);
        QVERIFY(hash.addData(&source));
        const QString expected = QString::fromLatin1(hash.result().toHex());

        QString output;
        QCOMPARE(ZipTools::ZipWithCli(file, &output), 0);
        const QString archive = file + ".zip";
        const QJsonArray entries = ZipTools::ListEntries(archive);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries[0].toObject()["size"].toInteger(), size);
        QVERIFY(entries[0].toObject()["zip64"].toBool());

        QCOMPARE(TestTree::Run("unzip", {"-tq", archive}, {}, &output, 900'000), 0);
        QCOMPARE(TestTree::Run("7zz", {"t", archive}, {}, &output, 900'000), 0);
        const QString hashOut = "import hashlib, sys\n"
                                "h = hashlib.sha1()\n"
                                "for block in iter(lambda: sys.stdin.buffer.read(1 << 20), b''):\n"
                                "    h.update(block)\n"
                                "print(h.hexdigest())";
        QCOMPARE(TestTree::Run(
                     "bash",
                     {"-c", "bsdtar -xOf \"$1\" | python3 -c \"$2\"", "bash", archive, hashOut}, {},
                     &output, 900'000),
                 0);
        QCOMPARE(output.trimmed(), expected);
        QCOMPARE(TestTree::RunPython("import sys, zipfile\n"
                                     "assert zipfile.ZipFile(sys.argv[1]).testzip() is None",
                                     {archive}, &output),
                 0);
    }
};

QTEST_GUILESS_MAIN(TestZipWriterZip64)
#include "tst_zipwriter_zip64.moc"
