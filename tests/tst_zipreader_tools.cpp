// Archives written by the tools people use, and the public corpus written by many more (some of
// them damaged), unpacked by the reader and by Info-ZIP's unzip side by side: the same tree,
// content, modes and modification times; where unzip fails, the reader fails cleanly.

#include "support/ReaderRun.h"
#include "support/TestTree.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Packs the current folder into sys.argv[1] with Python's zipfile, with the method sys.argv[2]
// and ZIP64 fields forced when sys.argv[3] is 1.
const char kPythonPacker[] = R"(
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', getattr(zipfile, sys.argv[2])) as archive:
    for folder, folders, files in os.walk('.'):
        for name in folders + files:
            path = os.path.relpath(os.path.join(folder, name))
            info = zipfile.ZipInfo.from_file(path)
            info.compress_type = archive.compression
            if info.is_dir():
                archive.write(path)
            elif not os.path.islink(path):
                with open(path, 'rb') as source, archive.open(info, 'w', force_zip64=sys.argv[3] == '1') as target:
                    target.write(source.read())
)";

// Names given without the UTF-8 flag, in CP437 as old tools on DOS and Windows wrote them (FAT,
// NTFS, VFAT). Made on Unix, such a name is the file system's bytes and is kept as it is.
const char kLegacyNamePacker[] = R"(
import sys, zipfile
class Legacy(zipfile.ZipInfo):
    def _encodeFilenameFlags(self):
        return self.filename.encode('cp437'), self.flag_bits & ~0x800
with zipfile.ZipFile(sys.argv[1], 'w') as archive:
    for name, host in (('caf\u00e9.txt', 0), ('\u00d1and\u00fa/\u00fc.txt', 10), ('\u00e5ngstr\u00f6m.txt', 14)):
        info = Legacy(name)
        info.create_system = host
        info.external_attr = 0x20
        archive.writestr(info, name.encode('utf-8'))
)";

// Whether a link in the tree resolves, from its own folder, to a path outside the tree.
bool HasLinkOutside(const QMap<QString, QString>& tree) {
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        const QString target = it.value().mid(2);
        const QString resolved = QDir::cleanPath(QFileInfo(it.key()).path() + "/" + target);
        if (it.value().startsWith("l ") &&
            (QDir::isAbsolutePath(target) || resolved.startsWith("../") || resolved == ".."))
            return true;
    }
    return false;
}

} // namespace

class TestZipReaderTools : public QObject {
    Q_OBJECT

    QTemporaryDir m_source;
    QTemporaryDir m_top; // archive.zip, unpacked into archive by the reader, expected by unzip
    QString Archive() const { return m_top.filePath("archive.zip"); }

    // Unpacks the archive with unzip and with the reader on `threads` (0: one per core). Where
    // unzip takes every entry (exit code 0, or 1 for warnings only) the trees are the same;
    // otherwise the reader fails, having put out only what unzip did. Either way it leaves no
    // staging folder nor anything beside the destination. Unzip takes what a tool wrote whole;
    // of the corpus, `corpusName` names the archive.
    void CompareWithUnzip(const QString& corpusName, unsigned threads = 0) {
        const int unzipCode =
            TestTree::Run("unzip", {"-qo", Archive(), "-d", m_top.filePath("expected")});
        if (corpusName.isEmpty())
            QCOMPARE(unzipCode, 0);
        // An archive holding a second directory is refused although unzip takes the last one:
        // readers that scan forward take the other, and show other files.
        const bool twoDirectories = corpusName == "comment-truncated.zip";
        const QString outcome = ReaderRun::Unpack(Archive(), m_top.filePath("archive"), threads);
        const auto ours = ReaderRun::Tree(m_top.filePath("archive"));
        const auto theirs = ReaderRun::Tree(m_top.filePath("expected"));
        if (unzipCode <= 1 && !twoDirectories && !HasLinkOutside(theirs)) {
            QCOMPARE(outcome, "succeeded");
            QVERIFY(!ours.isEmpty());
            for (auto it = theirs.begin(); it != theirs.end(); ++it)
                QCOMPARE(ours.value(it.key(), "missing"), it.value());
            QCOMPARE(ours.keys(), theirs.keys());
        } else {
            QVERIFY2(outcome != "succeeded", qPrintable(QString("unzip said %1").arg(unzipCode)));
            QVERIFY(!HasLinkOutside(ours));
            for (auto it = ours.begin(); it != ours.end(); ++it)
                QCOMPARE(it.value(), theirs.value(it.key(), "missing"));
        }
        QCOMPARE(TestTree::Strays(m_top.path(), {"archive.zip", "archive", "expected"}),
                 QStringList());
        QCOMPARE(ReaderRun::Leftovers(m_top.path()), QStringList());
    }

private slots:
    void initTestCase() {
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

    void init() {
        QDir(m_top.path()).removeRecursively();
        QDir().mkpath(m_top.path());
    }

    void sameAsUnzip_data() {
        QTest::addColumn<QString>("packer"); // a shell command: $0 the archive, $1 kPythonPacker
        QTest::addColumn<unsigned>("threads");
        QTest::newRow("Info-ZIP, deflate") << "zip -rq \"$0\" ." << 0u;
        QTest::newRow("Info-ZIP, stored") << "zip -rq0 \"$0\" ." << 0u;
        QTest::newRow("Info-ZIP, bzip2, one thread") << "zip -rq -Z bzip2 \"$0\" ." << 1u;
        QTest::newRow("Info-ZIP, links kept as links, two threads")
            << "zip -rqy -Z bzip2 \"$0\" ." << 2u;
        QTest::newRow("Info-ZIP, streamed from standard input")
            << "cat docs/notes/long.txt | zip -q - - > \"$0\"" << 0u;
        QTest::newRow("Info-ZIP, streamed to standard output") << "zip -rqy - . > \"$0\"" << 0u;
        QTest::newRow("Info-ZIP, bzip2 streamed to standard output")
            << "zip -rq -Z bzip2 - . > \"$0\"" << 0u;
        QTest::newRow("7-Zip, deflate") << "7zz a -bd -tzip -mm=Deflate \"$0\" ." << 0u;
        QTest::newRow("7-Zip, bzip2") << "7zz a -bd -tzip -mm=BZip2 \"$0\" ." << 0u;
        QTest::newRow("7-Zip, links kept, UTF-8 names")
            << "7zz a -bd -tzip -snl -mcu=on -mm=BZip2 \"$0\" ." << 0u;
        QTest::newRow("bsdtar") << "bsdtar --format zip -cf \"$0\" ." << 0u;
        QTest::newRow("Python, bzip2") << "python3 -c \"$1\" \"$0\" ZIP_BZIP2 0" << 0u;
        QTest::newRow("Python, ZIP64 forced") << "python3 -c \"$1\" \"$0\" ZIP_DEFLATED 1" << 0u;
        QTest::newRow("Python, bzip2, ZIP64 forced")
            << "python3 -c \"$1\" \"$0\" ZIP_BZIP2 1" << 0u;
    }
    void sameAsUnzip() {
        QFETCH(QString, packer);
        QFETCH(unsigned, threads);
        QCOMPARE(TestTree::Run("bash", {"-c", packer, Archive(), kPythonPacker}, m_source.path()),
                 0);
        CompareWithUnzip({}, threads);
    }

    void corpusArchive_data() {
        QTest::addColumn<QString>("source");
        const QDir corpus(QStringLiteral(TARVO_CORPUS_DIR));
        // The corpus sits beside the checkout, not in it; a fresh clone runs without it.
        if (!corpus.exists())
            QSKIP(qPrintable("no archive corpus at " + corpus.path()));
        const QStringList names = corpus.entryList({"*.zip", "*.notzip"}, QDir::Files, QDir::Name);
        QVERIFY2(names.size() >= 30, qPrintable("corpus incomplete at " + corpus.path()));
        for (const QString& name : names)
            QTest::newRow(qPrintable(name)) << corpus.filePath(name);
    }
    void corpusArchive() {
        QFETCH(QString, source);
        QVERIFY(QFile::copy(source, Archive()));
        CompareWithUnzip(QFileInfo(source).fileName());
    }

    void legacyNamesBecomeUtf8() {
        QCOMPARE(TestTree::RunPython(kLegacyNamePacker, {Archive()}), 0);
        QCOMPARE(ReaderRun::Unpack(Archive(), m_top.filePath("archive")), "succeeded");
        for (const char* name :
             {"caf\u00e9.txt", "\u00d1and\u00fa/\u00fc.txt", "\u00e5ngstr\u00f6m.txt"}) {
            QFile file(m_top.filePath("archive/") + QString::fromUtf8(name));
            QVERIFY2(file.open(QIODevice::ReadOnly), name);
            QCOMPARE(file.readAll(), QByteArray(name));
        }
        QCOMPARE(TestTree::Strays(m_top.path(), {"archive.zip", "archive"}), QStringList());
        QCOMPARE(ReaderRun::Leftovers(m_top.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestZipReaderTools)
#include "tst_zipreader_tools.moc"
