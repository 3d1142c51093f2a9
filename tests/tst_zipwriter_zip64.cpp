// Archives past the limits of the plain zip format: more entries than its 16-bit counts hold,
// and files of 4 GiB and more. Every reader must see them whole.

#include "support/TestTree.h"
#include "support/ZipTools.h"
#include "ziparchive/CZipArchive.h"

#include <QCoreApplication>
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
    TestZipWriterZip64 test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_zipwriter_zip64.moc"
