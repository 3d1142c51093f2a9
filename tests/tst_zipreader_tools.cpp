// Archives written by the tools people use, and the public corpus written by many more (some of
// them damaged), unpacked by the reader and by Info-ZIP's unzip side by side: the same tree,
// content, modes and modification times; where unzip fails, the reader fails cleanly. The
// methods unzip does not read (LZMA, XZ and Zstandard) go through the real unzip worker: each
// comes out byte for byte; damaged data, or more data than the entry declares, fails with its
// cause and puts nothing of the entry in place; methods nothing here reads are named in the
// cause.

#include "support/ReaderRun.h"
#include "support/TestTree.h"
#include "support/ZipBytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <fcntl.h>
#include <sys/stat.h>

#include <functional>

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

constexpr int kLzma = 14, kXz = 95, kZstandard = 93;

// The command-line tool that compresses a piece of data with each method.
const QMap<int, QString> kTools{
    {kLzma, "xz --format=lzma -c"}, {kXz, "xz -c"}, {kZstandard, "zstd -q -c"}};

// The entry the failure rows break, the first: several of the reader's output buffers long.
const QString kBig = QStringLiteral("big.txt");

// The files every archive holds, by path below the tree.
const QMap<QString, QByteArray> kFiles{{kBig, TestTree::TextBytes(1536 * 1024 + 17, 1)},
                                       {"random.bin", TestTree::RandomBytes(100 * 1000, 2)},
                                       {"sub/small.txt", "a few words\n"},
                                       {"sub/empty", ""}};

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// `content` compressed by the method's tool as an entry's body; a method without a tool gets
// `content` as it is. An LZMA entry keeps the properties and stream of the .lzma file and drops
// its size, behind the zip form's own four bytes (version 9.20, five bytes of properties).
QByteArray Compressed(int method, const QByteArray& content, const QString& work) {
    if (!kTools.contains(method))
        return content;
    const QString input = work + QStringLiteral("/piece");
    TestTree::WriteFile(input, content);
    QString output;
    if (TestTree::Run("bash", {"-c", kTools[method] + " \"$0\" > \"$0.out\"", input}, {},
                      &output) != 0)
        qWarning("%s: %s", qPrintable(kTools[method]), qPrintable(output));
    const QByteArray body = ReadAll(input + ".out");
    return method == kLzma ? QByteArray("\x09\x14\x05\x00", 4) + body.left(5) + body.mid(13) : body;
}

// Unpacking `archive` fails: the cause names the big entry, which is nowhere in the destination,
// and no staging folder is left.
void CheckRefused(const QString& archive, const QStringList& causes) {
    const ReaderRun::Result result = ReaderRun::Run(archive);
    QCOMPARE(result.outcome, "corrupted");
    QVERIFY2(result.cause.contains("(" + kBig + ")"), qPrintable(result.cause));
    QVERIFY2(std::any_of(causes.begin(), causes.end(),
                         [&](const QString& cause) { return result.cause.contains(cause); }),
             qPrintable(result.cause));
    QVERIFY(!QFileInfo::exists(archive.chopped(4) + '/' + kBig));
    QCOMPARE(ReaderRun::Leftovers(QFileInfo(archive).path()), QStringList());
}

// How a row's archive is made: by `command` in the tree, the archive its $0 and kPythonPacker its
// $1; or each file compressed by the method's tool in that many pieces one after another
// (several XZ streams, several Zstandard frames) and wrapped into an archive here, the big
// entry's stream broken by `breakBody` in a way its decoder must notice on its own.
struct Made {
    int method;
    QString command = {};
    int pieces = 1;
    std::function<QByteArray(QByteArray)> breakBody = {};
    QString cause = {}; // what follows "entry 1 (big.txt)"; empty: the archive unpacks
};

} // namespace

Q_DECLARE_METATYPE(Made)

class TestZipReaderTools : public QObject {
    Q_OBJECT

    QTemporaryDir m_source;
    // archive.zip, unpacked into archive by the reader, expected by unzip; a method row's tree
    QTemporaryDir m_top;
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
        QTest::newRow("7-Zip, links kept, UTF-8 names")
            << "7zz a -bd -tzip -snl -mcu=on -mm=BZip2 \"$0\" ." << 0u;
        QTest::newRow("bsdtar") << "bsdtar --format zip -cf \"$0\" ." << 0u;
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

    // Where a file system cannot name a file made without a name, entries are staged under
    // names of their own and moved into place. Here a mount over this process's descriptor
    // folder in /proc takes away the way to name them, and only that.
    void stagedByNameWhereFilesCannotBeNamedLater() {
        if (TestTree::Run("unshare", {"--mount", "true"}) != 0)
            QSKIP("cannot make a mount namespace here");
        QCOMPARE(
            TestTree::Run("bash", {"-c", "zip -rqy -Z bzip2 \"$0\" .", Archive()}, m_source.path()),
            0);
        const QString expected = m_top.filePath("expected");
        QCOMPARE(TestTree::Run("unzip", {"-qo", Archive(), "-d", expected}), 0);
        const QString unpack = "mount -t tmpfs none /proc/$$/fd && exec \"$0\" -q unzip \"$1\"";
        QCOMPARE(TestTree::Run("unshare", {"--mount", "bash", "-c", unpack, TARVO_CLI, Archive()}),
                 0);
        QCOMPARE(ReaderRun::Tree(m_top.filePath("archive")), ReaderRun::Tree(expected));
        QCOMPARE(ReaderRun::Leftovers(m_top.path()), QStringList());
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

    // Whole, each method's entries come out byte for byte, and then damaged or declared short
    // they fail; a stream broken on purpose fails saying why.
    void eachMethod_data() {
        QTest::addColumn<Made>("made");
        const auto cut = [](QByteArray body) { return body.left(body.size() - 40); };
        const auto headerOnly = [](QByteArray body) { return body.left(6); };
        const auto nothing = [](QByteArray) { return QByteArray(); };
        const auto replaced = [](qsizetype at, const char* byte) {
            return [=](QByteArray body) { return body.replace(at, 1, byte); };
        };
        const auto followedBy = [](const char* junk) {
            return [=](QByteArray body) { return body + junk; };
        };
        QTest::newRow("LZMA by 7-Zip, no end marker")
            << Made{kLzma, "7zz a -tzip -mm=LZMA \"$0\" ."};
        QTest::newRow("LZMA by Python, end markers")
            << Made{kLzma, "python3 -c \"$1\" \"$0\" ZIP_LZMA 0"};
        QTest::newRow("LZMA from xz's .lzma, end markers") << Made{kLzma};
        QTest::newRow("XZ by 7-Zip") << Made{kXz, "7zz a -tzip -mm=XZ \"$0\" ."};
        QTest::newRow("XZ, three streams") << Made{kXz, {}, 3};
        QTest::newRow("Zstandard, three frames") << Made{kZstandard, {}, 3};
        QTest::newRow("LZMA header with four bytes of properties")
            << Made{kLzma, {}, 1, replaced(2, "\x04"), ": the LZMA header is damaged"};
        // lc, lp and pb go up to 224 together
        QTest::newRow("LZMA properties out of range") << Made{
            kLzma, {}, 1, replaced(4, "\xe6"), ": the data's settings are damaged or unknown"};
        QTest::newRow("LZMA header cut short")
            << Made{kLzma, {}, 1, headerOnly, ": the LZMA data ends early"};
        QTest::newRow("LZMA cut short") << Made{kLzma, {}, 1, cut, ": the LZMA data ends early"};
        QTest::newRow("XZ cut short") << Made{kXz, {}, 1, cut, ": the XZ data ends early"};
        QTest::newRow("XZ with junk after it")
            << Made{kXz, {}, 1, followedBy("no stream follows"), ": the XZ data is damaged"};
        QTest::newRow("Zstandard cut short")
            << Made{kZstandard, {}, 1, cut, ": the Zstandard data ends early"};
        QTest::newRow("Zstandard with junk after it")
            << Made{kZstandard, {}, 1, followedBy("junk"), ": the Zstandard data is damaged"};
        QTest::newRow("Zstandard, nothing at all")
            << Made{kZstandard, {}, 1, nothing, ": the Zstandard data ends early"};
        QTest::newRow("Deflate64, not read here")
            << Made{9, {}, 1, {}, " uses Deflate64 (9), which this build cannot read"};
    }
    void eachMethod() {
        QFETCH(Made, made);
        const QString tree = m_top.filePath("tree"), archive = Archive();
        for (auto it = kFiles.begin(); it != kFiles.end(); ++it)
            TestTree::WriteFile(tree + '/' + it.key(), it.value());
        QList<ZipBytes::Entry> entries;
        for (auto it = kFiles.begin(); made.command.isEmpty() && it != kFiles.end(); ++it) {
            QByteArray body;
            const qsizetype step = it.value().size() / made.pieces + 1;
            for (int piece = 0; piece < made.pieces; ++piece)
                body += Compressed(made.method, it.value().mid(piece * step, step), m_top.path());
            if (made.breakBody && it.key() == kBig)
                body = made.breakBody(body);
            entries << ZipBytes::WithContent(it.key().toUtf8(), body, made.method, it.value());
        }
        QString output;
        if (made.command.isEmpty())
            TestTree::WriteFile(archive, ZipBytes::Build(entries));
        else
            QVERIFY2(TestTree::Run("bash", {"-c", made.command, archive, kPythonPacker}, tree,
                                   &output) == 0,
                     qPrintable(output));
        if (!made.cause.isEmpty())
            return CheckRefused(archive, {"entry 1 (" + kBig + ")" + made.cause});
        const QByteArray whole = ReadAll(archive), name = kBig.toUtf8();
        const qsizetype local = whole.indexOf(name) - 30, central = whole.lastIndexOf(name) - 46;
        // A tool may store what it cannot shrink.
        QCOMPARE(qFromLittleEndian<quint16>(whole.constData() + local + 8), made.method);

        const QString destination = archive.chopped(4);
        QCOMPARE(ReaderRun::Unpack(archive, destination), "succeeded");
        QCOMPARE(TestTree::Snapshot(destination, false), TestTree::Snapshot(tree, false));
        QVERIFY(QDir(destination).removeRecursively());

        // Bytes flipped well inside the big entry's data, past its local header.
        QByteArray damaged = whole;
        for (qsizetype i = local + 4096; i < local + 4096 + 16; ++i)
            damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
        TestTree::WriteFile(archive, damaged);
        CheckRefused(archive,
                     {"data is damaged", "the entry's CRC does not match", "data ends early"});

        // A third of its size declared in both headers: a bomb costs one buffer.
        QByteArray lessDeclared = whole;
        for (const qsizetype at : {local + 22, central + 24}) {
            QCOMPARE(qFromLittleEndian<quint32>(whole.constData() + at), kFiles[kBig].size());
            qToLittleEndian<quint32>(kFiles[kBig].size() / 3, lessDeclared.data() + at);
        }
        TestTree::WriteFile(archive, lessDeclared);
        CheckRefused(archive, {"the entry holds more data than it declares"});
    }
};

QTEST_GUILESS_MAIN(TestZipReaderTools)
#include "tst_zipreader_tools.moc"
