// The compression methods the reader decodes besides stored, deflate and BZIP2 (LZMA, XZ and
// Zstandard), in archives other tools write, through the real unzip worker: each comes out
// byte for byte; damaged data, or more data than the entry declares, fails with its cause and
// puts nothing of the entry in place; methods nothing here reads are named in the cause.

#include "archive/Messages.h"
#include "archive/UnzipWorker.h"
#include "support/ReaderRun.h"
#include "support/TestTree.h"
#include "support/WorkerRun.h"
#include "support/ZipBytes.h"
#include "support/ZipTools.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

namespace {

constexpr int kLzma = 14;
constexpr int kXz = 95;
constexpr int kZstandard = 93;

// The entry the damage rows break: several of the reader's output buffers long.
const QString kBig = QStringLiteral("text.txt");

// The files every archive holds, by path below the tree.
const QMap<QString, QByteArray>& TreeFiles() {
    static const QMap<QString, QByteArray> files{
        {kBig, TestTree::TextBytes(1536 * 1024 + 17, 1)},
        {"random.bin", TestTree::RandomBytes(100 * 1000, 2)},
        {"sub/small.txt", "a few words\n"},
        {"sub/empty", ""}};
    return files;
}

void WriteTree(const QString& root) {
    const auto& files = TreeFiles();
    for (auto it = files.begin(); it != files.end(); ++it)
        TestTree::WriteFile(root + '/' + it.key(), it.value());
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Makes `archive` out of the folder `tree` (which holds TreeFiles()); `work` is scratch space.
using Producer =
    std::function<void(const QString& tree, const QString& archive, const QString& work)>;

// Breaks a compressed body.
using Break = std::function<QByteArray(QByteArray)>;

Producer SevenZip(const QString& method) {
    return [method](const QString& tree, const QString& archive, const QString&) {
        QString output;
        QVERIFY2(
            TestTree::Run("7zz", {"a", "-tzip", "-mm=" + method, archive, "."}, tree, &output) == 0,
            qPrintable(output));
    };
}

Producer PythonLzma() {
    return [](const QString& tree, const QString& archive, const QString&) {
        QString output;
        QVERIFY2(TestTree::RunPython(QStringLiteral(R"(
import os, sys, zipfile
tree, archive = sys.argv[1:]
with zipfile.ZipFile(archive, 'w', zipfile.ZIP_LZMA) as z:
    for folder, _, files in os.walk(tree):
        for name in sorted(files):
            path = os.path.join(folder, name)
            z.write(path, os.path.relpath(path, tree))
)"),
                                     {tree, archive}, &output) == 0,
                 qPrintable(output));
    };
}

// `content` compressed by a command-line tool ("xz -c", "zstd -q -c", ...).
QByteArray ToolCompressed(const QString& command, const QByteArray& content, const QString& work) {
    const QString input = work + QStringLiteral("/piece");
    TestTree::WriteFile(input, content);
    QString output;
    if (TestTree::Run("bash", {"-c", command + " \"$0\" > \"$0.out\"", input}, {}, &output) != 0)
        qWarning("%s: %s", qPrintable(command), qPrintable(output));
    return ReadAll(input + ".out");
}

// An LZMA entry's body from the .lzma file xz writes: the zip form keeps the properties and the
// stream and drops the size, behind its own four bytes (version 9.20, five bytes of properties).
QByteArray LzmaBody(const QByteArray& lzmaFile) {
    return QByteArray("\x09\x14\x05\x00", 4) + lzmaFile.left(5) + lzmaFile.mid(13);
}

// An entry of `method` holding `content`, compressed already as `body`.
ZipBytes::Entry HandMade(const QString& name, const QByteArray& content, int method,
                         const QByteArray& body) {
    ZipBytes::Entry entry = ZipBytes::Stored(name.toUtf8(), content);
    entry.method = static_cast<std::uint16_t>(method);
    entry.body = body;
    return entry;
}

// Each file compressed by the tool in `pieces` parts one after another (several XZ streams,
// several Zstandard frames), written into an archive around them.
Producer ByTool(const QString& command, int method, int pieces = 1) {
    return [=](const QString&, const QString& archive, const QString& work) {
        QList<ZipBytes::Entry> entries;
        const auto& files = TreeFiles();
        for (auto it = files.begin(); it != files.end(); ++it) {
            QByteArray body;
            const qsizetype step = it.value().size() / pieces + 1;
            for (int piece = 0; piece < pieces; ++piece)
                body += ToolCompressed(command, it.value().mid(piece * step, step), work);
            if (method == kLzma)
                body = LzmaBody(body);
            entries << HandMade(it.key(), it.value(), method, body);
        }
        TestTree::WriteFile(archive, ZipBytes::Build(entries));
    };
}

// Where kBig's data lies in the archive, and patches to its headers, by Python reading the
// directory. "range" prints the data's offset and length; "declare SIZE" writes SIZE as the
// uncompressed size into both the local and the central header.
QString EditEntry(const QString& archive, const QStringList& command) {
    QString output;
    const int code = TestTree::RunPython(QStringLiteral(R"(
import struct, sys, zipfile
archive, name, verb = sys.argv[1:4]
with zipfile.ZipFile(archive) as z:
    info = z.getinfo(name)
    central = z.start_dir
with open(archive, 'r+b') as f:
    f.seek(info.header_offset + 26)
    name_length, extra_length = struct.unpack('<HH', f.read(4))
    start = info.header_offset + 30 + name_length + extra_length
    if verb == 'range':
        print(start, info.compress_size)
        sys.exit(0)
    size = int(sys.argv[4])
    f.seek(info.header_offset + 22)
    f.write(struct.pack('<I', size))
    while True:
        f.seek(central)
        record = f.read(46)
        lengths = struct.unpack('<HHH', record[28:34])
        if f.read(lengths[0]).decode() == name:
            f.seek(central + 24)
            f.write(struct.pack('<I', size))
            break
        central += 46 + sum(lengths)
)"),
                                         QStringList{archive, kBig} + command, &output);
    return code == 0 ? output.trimmed() : QStringLiteral("failed: ") + output;
}

struct Unpacked {
    UnzipOutcome outcome;
    QString cause;
    QString destination;
};

Unpacked UnpackWithWorker(const QString& archive) {
    WorkerRun run;
    run.state().selectedPath = archive;
    run.state().unzipSelected = true;
    const UnzipOutcome outcome = RunUnzip(run.state());
    QString destination = archive;
    destination.chop(4);
    return {outcome, run.report().Details().value(0), destination};
}

int MethodOf(const QString& archive, const QString& name) {
    for (const QJsonValue& entry : ZipTools::ListEntries(archive))
        if (entry.toObject().value("text").toString() == name)
            return entry.toObject().value("method").toInt();
    return -1;
}

// The archives of every method, as rows: who makes them and the method their big entry gets.
void AddProducerRows() {
    QTest::addColumn<Producer>("produce");
    QTest::addColumn<int>("method");
    QTest::newRow("LZMA by 7-Zip, no end marker") << SevenZip("LZMA") << kLzma;
    QTest::newRow("LZMA by Python, end markers") << PythonLzma() << kLzma;
    QTest::newRow("LZMA from xz's .lzma, end markers")
        << ByTool("xz --format=lzma -c", kLzma) << kLzma;
    QTest::newRow("XZ by 7-Zip") << SevenZip("XZ") << kXz;
    QTest::newRow("XZ by xz") << ByTool("xz -c", kXz) << kXz;
    QTest::newRow("XZ, three streams") << ByTool("xz -c", kXz, 3) << kXz;
    QTest::newRow("Zstandard by zstd") << ByTool("zstd -q -c", kZstandard) << kZstandard;
    QTest::newRow("Zstandard, three frames") << ByTool("zstd -q -c", kZstandard, 3) << kZstandard;
}

// The tree, and its archive by the row's producer in `dir`; empty when the archive does not use
// the row's method for the big entry (a tool may store what it cannot shrink). Each row's
// archive is made once and reused by every test that has the row.
QString Produce(const QTemporaryDir& dir) {
    QFETCH(Producer, produce);
    QFETCH(int, method);
    static QMap<QString, QByteArray> made;
    WriteTree(dir.filePath("tree"));
    const QString archive = dir.filePath("case.zip");
    const QString row = QString::fromUtf8(QTest::currentDataTag());
    if (made.contains(row)) {
        TestTree::WriteFile(archive, made.value(row));
        return archive;
    }
    QDir().mkpath(dir.filePath("work"));
    produce(dir.filePath("tree"), archive, dir.filePath("work"));
    const int used = MethodOf(archive, kBig);
    if (used != method) {
        qWarning("%s has method %d, not %d", qPrintable(kBig), used, method);
        return {};
    }
    made.insert(row, ReadAll(archive));
    return archive;
}

// A failed unpack: the cause names the big entry, which is nowhere in the destination, and no
// staging folder is left.
void CheckRefused(const Unpacked& unpacked, const QStringList& causes) {
    QCOMPARE(unpacked.outcome, UnzipOutcome::Corrupted);
    QVERIFY2(unpacked.cause.contains("(" + kBig + ")"), qPrintable(unpacked.cause));
    QVERIFY2(std::any_of(causes.begin(), causes.end(),
                         [&](const QString& cause) { return unpacked.cause.contains(cause); }),
             qPrintable(unpacked.cause));
    QVERIFY(!QFileInfo::exists(unpacked.destination + '/' + kBig));
    QCOMPARE(ReaderRun::Leftovers(QFileInfo(unpacked.destination).path()), QStringList());
}

} // namespace

class TestMethods : public QObject {
    Q_OBJECT

private slots:
    void eachMethodComesOutWhole_data() { AddProducerRows(); }
    void eachMethodComesOutWhole() {
        QTemporaryDir dir;
        const QString archive = Produce(dir);
        QVERIFY(!archive.isEmpty());
        const Unpacked unpacked = UnpackWithWorker(archive);
        QCOMPARE(unpacked.outcome, UnzipOutcome::Succeeded);
        QCOMPARE(TestTree::Snapshot(unpacked.destination, false),
                 TestTree::Snapshot(dir.filePath("tree"), false));
    }

    void damagedDataFails_data() { AddProducerRows(); }
    void damagedDataFails() {
        QTemporaryDir dir;
        const QString archive = Produce(dir);
        QVERIFY(!archive.isEmpty());
        const QStringList range = EditEntry(archive, {"range"}).split(' ');
        QCOMPARE(range.size(), 2);
        QByteArray bytes = ReadAll(archive);
        const qsizetype middle = range[0].toLongLong() + range[1].toLongLong() / 2;
        for (qsizetype i = middle; i < middle + 16; ++i)
            bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
        TestTree::WriteFile(archive, bytes);
        CheckRefused(UnpackWithWorker(archive),
                     {"data is damaged", "the entry's CRC does not match", "data ends early"});
    }

    // An entry that decodes to more than it declares stops there: a bomb costs one buffer.
    void moreDataThanDeclaredFails_data() { AddProducerRows(); }
    void moreDataThanDeclaredFails() {
        QTemporaryDir dir;
        const QString archive = Produce(dir);
        QVERIFY(!archive.isEmpty());
        const QString declared = QString::number(TreeFiles().value(kBig).size() / 3);
        QCOMPARE(EditEntry(archive, {"declare", declared}), QString());
        CheckRefused(UnpackWithWorker(archive), {"the entry holds more data than it declares"});
    }

    void methodsNotReadHereAreNamed_data() {
        QTest::addColumn<QString>("method"); // as 7-Zip calls it
        QTest::addColumn<QString>("named");
        QTest::newRow("Deflate64") << "Deflate64"
                                   << "Deflate64 (9)";
        QTest::newRow("PPMd") << "PPMd"
                              << "PPMd (98)";
    }
    void methodsNotReadHereAreNamed() {
        QFETCH(QString, method);
        QFETCH(QString, named);
        QTemporaryDir dir;
        WriteTree(dir.filePath("tree"));
        const QString archive = dir.filePath("case.zip");
        // The big entry alone, so the one the cause names is known.
        QString output;
        QVERIFY2(TestTree::Run("7zz", {"a", "-tzip", "-mm=" + method, archive, kBig},
                               dir.filePath("tree"), &output) == 0,
                 qPrintable(output));
        CheckRefused(UnpackWithWorker(archive),
                     {QStringLiteral("entry 1 (%1) uses %2, which this build cannot read")
                          .arg(kBig, named)});
    }

    // Streams broken in the ways a decoder must notice on its own, each with its cause.
    void brokenStreamsSayWhy_data() {
        QTest::addColumn<int>("method");
        QTest::addColumn<QString>("tool");
        QTest::addColumn<Break>("breakBody");
        QTest::addColumn<QString>("cause");
        const Break cut = [](QByteArray body) { return body.left(body.size() - 40); };
        QTest::newRow("LZMA header with four bytes of properties")
            << kLzma << "xz --format=lzma -c" << Break([](QByteArray body) {
                   body[2] = 4;
                   return body;
               })
            << "the LZMA header is damaged";
        QTest::newRow("LZMA properties out of range")
            << kLzma << "xz --format=lzma -c" << Break([](QByteArray body) {
                   body[4] = static_cast<char>(230); // lc, lp and pb go up to 224 together
                   return body;
               })
            << "the data's settings are damaged or unknown";
        QTest::newRow("LZMA header cut short")
            << kLzma << "xz --format=lzma -c" << Break([](QByteArray body) { return body.left(6); })
            << "the LZMA data ends early";
        QTest::newRow("LZMA cut short")
            << kLzma << "xz --format=lzma -c" << cut << "the LZMA data ends early";
        QTest::newRow("XZ cut short") << kXz << "xz -c" << cut << "the XZ data ends early";
        QTest::newRow("XZ with junk after it")
            << kXz << "xz -c" << Break([](QByteArray body) { return body + "no stream follows"; })
            << "the XZ data is damaged";
        QTest::newRow("Zstandard cut short")
            << kZstandard << "zstd -q -c" << cut << "the Zstandard data ends early";
        QTest::newRow("Zstandard with junk after it")
            << kZstandard << "zstd -q -c" << Break([](QByteArray body) { return body + "junk"; })
            << "the Zstandard data is damaged";
        QTest::newRow("Zstandard, nothing at all")
            << kZstandard << "zstd -q -c" << Break([](QByteArray) { return QByteArray(); })
            << "the Zstandard data ends early";
    }
    void brokenStreamsSayWhy() {
        QFETCH(int, method);
        QFETCH(QString, tool);
        QFETCH(Break, breakBody);
        QFETCH(QString, cause);
        QTemporaryDir dir;
        const QByteArray content = TreeFiles().value(kBig);
        QByteArray body = ToolCompressed(tool, content, dir.path());
        if (method == kLzma)
            body = LzmaBody(body);
        const QString archive = dir.filePath("case.zip");
        TestTree::WriteFile(archive,
                            ZipBytes::Build({ZipBytes::Stored("first.txt", "fine"),
                                             HandMade(kBig, content, method, breakBody(body))}));
        const Unpacked unpacked = UnpackWithWorker(archive);
        CheckRefused(unpacked, {QStringLiteral("entry 2 (%1): %2").arg(kBig, cause)});
        // The entry before it is in place, whole.
        QCOMPARE(ReadAll(unpacked.destination + "/first.txt"), QByteArray("fine"));
    }
};

QTEST_GUILESS_MAIN(TestMethods)
#include "tst_methods.moc"
