// Archives written by the tools people use, unpacked by the reader and by Info-ZIP's unzip side
// by side: the same tree, content, modes and modification times.

#include "support/ReaderRun.h"
#include "support/TestTree.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Packs the current folder into sys.argv[1] with Python's zipfile; {method} and {extra} are
// filled in per row.
const char kPythonPacker[] = R"(
import os, sys, zipfile
method = {method}
with zipfile.ZipFile(sys.argv[1], 'w', compression=method) as archive:
    for folder, folders, files in os.walk('.'):
        folders.sort()
        for name in sorted(folders) + sorted(files):
            path = os.path.relpath(os.path.join(folder, name), '.')
            if os.path.islink(path):
                continue
            if os.path.isdir(path):
                archive.write(path, path + '/')
                continue
            info = zipfile.ZipInfo.from_file(path, path)
            info.compress_type = method
            with open(path, 'rb') as source, archive.open(info, 'w', {extra}) as target:
                target.write(source.read())
)";

QString PythonPacker(const QString& method, const QString& extra = {}) {
    return QString::fromLatin1(kPythonPacker).replace("{method}", method).replace("{extra}", extra);
}

// A name given without the UTF-8 flag, in CP437 as old tools wrote them.
const char kLegacyNamePacker[] = R"(
import sys, zipfile
class Legacy(zipfile.ZipInfo):
    def _encodeFilenameFlags(self):
        return self.filename.encode('cp437'), self.flag_bits & ~0x800
with zipfile.ZipFile(sys.argv[1], 'w') as archive:
    for name, host in (('caf\u00e9.txt', 0), ('\u00d1and\u00fa/\u00fc.txt', 3), ('\u00e5ngstr\u00f6m.txt', 3)):
        info = Legacy(name)
        info.create_system = host
        info.external_attr = (0o100644 << 16) if host == 3 else 0x20
        archive.writestr(info, name.encode('utf-8'))
)";

} // namespace

class TestZipReaderTools : public QObject {
    Q_OBJECT

    QTemporaryDir m_source;

    void WriteSourceTree() {
        const QString root = m_source.path();
        TestTree::WriteFile(root + "/docs/readme.txt", TestTree::TextBytes(20000, 1), 0644);
        TestTree::WriteFile(root + "/docs/notes/long.txt", TestTree::TextBytes(400000, 2), 0644);
        TestTree::WriteFile(root + "/docs/notes/second.txt", TestTree::TextBytes(1200, 3), 0640);
        TestTree::WriteFile(root + "/bin/run.sh", "#!/bin/sh\necho hello\n", 0755);
        TestTree::WriteFile(root + "/data/random.bin", TestTree::RandomBytes(150000, 4), 0644);
        TestTree::WriteFile(root + "/data/empty.txt", {}, 0644);
        TestTree::WriteFile(root + "/readonly.txt", "read only\n", 0444);
        TestTree::WriteFile(root + QString::fromUtf8("/\u00fcmlaut-\u540d\u524d.txt"), "utf-8\n",
                            0644);
        QDir().mkpath(root + "/empty-folder");
        QFile::link("docs/readme.txt", root + "/link-to-readme");
        // Times apart from now and from each other, on two-second steps as DOS times keep.
        qint64 time = 1600000000;
        for (const QString& path : ReaderRun::Tree(root).keys()) {
            const timespec times[2] = {{time, 0}, {time, 0}};
            ::utimensat(AT_FDCWD, QFile::encodeName(root + "/" + path).constData(), times,
                        AT_SYMLINK_NOFOLLOW);
            time += 86400 + 2;
        }
    }

    // Runs the reader and unzip on the same archive; both must leave the same tree.
    void CompareWithUnzip(const QString& archive, const QString& top, unsigned threads = 0) {
        const QString expected = top + "/expected";
        QCOMPARE(ReaderRun::UnpackWithUnzip(archive, expected), 0);
        const QString destination = top + "/archive";
        const ReaderRun::Result result =
            ReaderRun::UnpackLikeTheWorker(archive, destination, threads);
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), "succeeded");
        const auto ours = ReaderRun::Tree(destination);
        const auto theirs = ReaderRun::Tree(expected);
        QVERIFY(!ours.isEmpty());
        for (auto it = theirs.begin(); it != theirs.end(); ++it)
            QCOMPARE(ours.value(it.key(), "missing"), it.value());
        QCOMPARE(ours.keys(), theirs.keys());
        QCOMPARE(ReaderRun::Strays(top, {"archive.zip", "archive", "expected"}), QStringList());
        QCOMPARE(ReaderRun::Leftovers(top), QStringList());
    }

private slots:
    void initTestCase() { WriteSourceTree(); }

    void sameAsUnzip_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments"); // @ARCHIVE@ is the archive's path
        const QString python = QStringLiteral("python3");
        QTest::newRow("Info-ZIP, deflate") << "zip" << QStringList{"-rq", "@ARCHIVE@", "."};
        QTest::newRow("Info-ZIP, stored") << "zip" << QStringList{"-rq0", "@ARCHIVE@", "."};
        QTest::newRow("Info-ZIP, bzip2")
            << "zip" << QStringList{"-rq", "-Z", "bzip2", "@ARCHIVE@", "."};
        QTest::newRow("Info-ZIP, links kept as links")
            << "zip" << QStringList{"-rqy", "-Z", "bzip2", "@ARCHIVE@", "."};
        QTest::newRow("Info-ZIP, streamed from standard input")
            << "sh"
            << QStringList{"-c", "cat docs/notes/long.txt | zip -q - - > \"$0\"", "@ARCHIVE@"};
        QTest::newRow("Info-ZIP, streamed to standard output")
            << "sh" << QStringList{"-c", "zip -rqy - . > \"$0\"", "@ARCHIVE@"};
        QTest::newRow("Info-ZIP, bzip2 streamed to standard output")
            << "sh" << QStringList{"-c", "zip -rq -Z bzip2 - . > \"$0\"", "@ARCHIVE@"};
        QTest::newRow("7-Zip, deflate")
            << "7zz" << QStringList{"a", "-bd", "-tzip", "-mm=Deflate", "@ARCHIVE@", "."};
        QTest::newRow("7-Zip, bzip2")
            << "7zz" << QStringList{"a", "-bd", "-tzip", "-mm=BZip2", "@ARCHIVE@", "."};
        QTest::newRow("7-Zip, stored")
            << "7zz" << QStringList{"a", "-bd", "-tzip", "-mm=Copy", "@ARCHIVE@", "."};
        QTest::newRow("7-Zip, links kept, UTF-8 names")
            << "7zz"
            << QStringList{"a", "-bd", "-tzip", "-snl", "-mcu=on", "-mm=BZip2", "@ARCHIVE@", "."};
        QTest::newRow("bsdtar") << "bsdtar"
                                << QStringList{"--format", "zip", "-cf", "@ARCHIVE@", "."};
        QTest::newRow("Python, stored")
            << python << QStringList{"-c", PythonPacker("zipfile.ZIP_STORED"), "@ARCHIVE@"};
        QTest::newRow("Python, deflated")
            << python << QStringList{"-c", PythonPacker("zipfile.ZIP_DEFLATED"), "@ARCHIVE@"};
        QTest::newRow("Python, bzip2")
            << python << QStringList{"-c", PythonPacker("zipfile.ZIP_BZIP2"), "@ARCHIVE@"};
        QTest::newRow("Python, ZIP64 forced")
            << python
            << QStringList{"-c", PythonPacker("zipfile.ZIP_DEFLATED", "force_zip64=True"),
                           "@ARCHIVE@"};
        QTest::newRow("Python, bzip2, ZIP64 forced")
            << python
            << QStringList{"-c", PythonPacker("zipfile.ZIP_BZIP2", "force_zip64=True"),
                           "@ARCHIVE@"};
    }
    void sameAsUnzip() {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QTemporaryDir top;
        const QString archive = top.filePath("archive.zip");
        arguments.replaceInStrings("@ARCHIVE@", archive);
        QString output;
        QCOMPARE(TestTree::Run(program, arguments, m_source.path(), &output), 0);
        CompareWithUnzip(archive, top.path());
    }

    void threadCountDoesNotChangeTheResult_data() {
        QTest::addColumn<unsigned>("threads");
        QTest::newRow("one") << 1u;
        QTest::newRow("two") << 2u;
        QTest::newRow("five") << 5u;
        QTest::newRow("one per core") << 0u;
    }
    void threadCountDoesNotChangeTheResult() {
        QFETCH(unsigned, threads);
        QTemporaryDir top;
        const QString archive = top.filePath("archive.zip");
        QCOMPARE(TestTree::Run("zip", {"-rqy", "-Z", "bzip2", archive, "."}, m_source.path()), 0);
        CompareWithUnzip(archive, top.path(), threads);
    }

    void legacyNamesBecomeUtf8() {
        QTemporaryDir top;
        const QString archive = top.filePath("archive.zip");
        QCOMPARE(TestTree::RunPython(kLegacyNamePacker, {archive}), 0);
        const QString destination = top.filePath("archive");
        QCOMPARE(
            ReaderRun::OutcomeName(ReaderRun::UnpackLikeTheWorker(archive, destination).outcome),
            "succeeded");
        const QStringList names{QString::fromUtf8("caf\u00e9.txt"),
                                QString::fromUtf8("\u00d1and\u00fa/\u00fc.txt"),
                                QString::fromUtf8("\u00e5ngstr\u00f6m.txt")};
        for (const QString& name : names) {
            QFile file(destination + "/" + name);
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(name));
            QCOMPARE(QString::fromUtf8(file.readAll()), name);
        }
        QCOMPARE(ReaderRun::Leftovers(top.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestZipReaderTools)
#include "tst_zipreader_tools.moc"
