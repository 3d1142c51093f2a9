// The compression methods the reader decodes besides stored, deflate and BZIP2 (LZMA, XZ and
// Zstandard), in archives other tools write, through the real unzip worker: each comes out
// byte for byte; damaged data, or more data than the entry declares, fails with its cause and
// puts nothing of the entry in place; methods nothing here reads are named in the cause.

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
#include <QtEndian>

#include <functional>

namespace {

constexpr int kLzma = 14, kXz = 95, kZstandard = 93;

// The entry the failure rows break: several of the reader's output buffers long.
const QString kBig = QStringLiteral("text.txt");

// The files every archive holds, by path below the tree.
const QMap<QString, QByteArray> kFiles{{kBig, TestTree::TextBytes(1536 * 1024 + 17, 1)},
                                       {"random.bin", TestTree::RandomBytes(100 * 1000, 2)},
                                       {"sub/small.txt", "a few words\n"},
                                       {"sub/empty", ""}};

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// `content` compressed by a command-line tool ("xz -c", "zstd -q -c", ...) as an entry's body.
// An LZMA entry keeps the properties and stream of the .lzma file and drops its size, behind the
// zip form's own four bytes (version 9.20, five bytes of properties).
QByteArray Compressed(const QString& tool, int method, const QByteArray& content,
                      const QString& work) {
    const QString input = work + QStringLiteral("/piece");
    TestTree::WriteFile(input, content);
    QString output;
    if (TestTree::Run("bash", {"-c", tool + " \"$0\" > \"$0.out\"", input}, {}, &output) != 0)
        qWarning("%s: %s", qPrintable(tool), qPrintable(output));
    const QByteArray body = ReadAll(input + ".out");
    return method == kLzma ? QByteArray("\x09\x14\x05\x00", 4) + body.left(5) + body.mid(13) : body;
}

ZipBytes::Entry HandMade(const QString& name, const QByteArray& content, int method,
                         const QByteArray& body) {
    ZipBytes::Entry entry = ZipBytes::Stored(name.toUtf8(), content);
    entry.method = static_cast<std::uint16_t>(method);
    entry.body = body;
    return entry;
}

struct Unpacked {
    UnzipOutcome outcome;
    QString cause;
    QString destination;
};

Unpacked UnpackWithWorker(const QString& archive) {
    WorkerRun run;
    const UnzipOutcome outcome = run.Unzip(archive);
    return {outcome, run.report().Details().value(0), archive.chopped(4)};
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

// How a row's archive is made: by `command` in the tree, the archive its $0; or, with pieces,
// each file compressed by `command` in that many parts one after another (several XZ streams,
// several Zstandard frames) and wrapped into an archive here.
struct Made {
    int method;
    QString command;
    int pieces = 0;
};

// A stream broken in a way its decoder must notice on its own. Without a tool the entry's body
// is its content as it is.
struct Broken {
    int method;
    QString tool;
    std::function<QByteArray(QByteArray)> breakBody;
    QString cause; // what follows "entry 2 (text.txt)"
};

} // namespace

Q_DECLARE_METATYPE(Made)
Q_DECLARE_METATYPE(Broken)

class TestMethods : public QObject {
    Q_OBJECT

private slots:
    void eachMethod_data() {
        QTest::addColumn<Made>("made");
        const QString python =
            "python3 -c \"import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], "
            "'w', zipfile.ZIP_LZMA) as z: [z.write(f) for f in sys.argv[2:]]\" "
            "\"$0\" $(find . -type f)";
        QTest::newRow("LZMA by 7-Zip, no end marker")
            << Made{kLzma, "7zz a -tzip -mm=LZMA \"$0\" ."};
        QTest::newRow("LZMA by Python, end markers") << Made{kLzma, python};
        QTest::newRow("LZMA from xz's .lzma, end markers") << Made{kLzma, "xz --format=lzma -c", 1};
        QTest::newRow("XZ by 7-Zip") << Made{kXz, "7zz a -tzip -mm=XZ \"$0\" ."};
        QTest::newRow("XZ by xz") << Made{kXz, "xz -c", 1};
        QTest::newRow("XZ, three streams") << Made{kXz, "xz -c", 3};
        QTest::newRow("Zstandard by zstd") << Made{kZstandard, "zstd -q -c", 1};
        QTest::newRow("Zstandard, three frames") << Made{kZstandard, "zstd -q -c", 3};
    }
    void eachMethod() {
        QFETCH(Made, made);
        QTemporaryDir dir;
        const QString tree = dir.filePath("tree"), archive = dir.filePath("case.zip");
        for (auto it = kFiles.begin(); it != kFiles.end(); ++it)
            TestTree::WriteFile(tree + '/' + it.key(), it.value());
        QList<ZipBytes::Entry> entries;
        for (auto it = kFiles.begin(); made.pieces > 0 && it != kFiles.end(); ++it) {
            QByteArray body;
            const qsizetype step = it.value().size() / made.pieces + 1;
            for (int piece = 0; piece < made.pieces; ++piece)
                body += Compressed(made.command, made.method, it.value().mid(piece * step, step),
                                   dir.path());
            entries << HandMade(it.key(), it.value(), made.method, body);
        }
        QString output;
        if (made.pieces > 0)
            TestTree::WriteFile(archive, ZipBytes::Build(entries));
        else
            QVERIFY2(TestTree::Run("bash", {"-c", made.command, archive}, tree, &output) == 0,
                     qPrintable(output));
        // A tool may store what it cannot shrink.
        int method = -1;
        for (const QJsonValue& entry : ZipTools::ListEntries(archive))
            if (entry.toObject().value("text").toString() == kBig)
                method = entry.toObject().value("method").toInt();
        QCOMPARE(method, made.method);
        const QByteArray whole = ReadAll(archive);

        Unpacked unpacked = UnpackWithWorker(archive);
        QCOMPARE(unpacked.outcome, UnzipOutcome::Succeeded);
        QCOMPARE(TestTree::Snapshot(unpacked.destination, false), TestTree::Snapshot(tree, false));
        QVERIFY(QDir(unpacked.destination).removeRecursively());

        // Bytes flipped well inside the big entry's data, past its local header.
        const QByteArray name = kBig.toUtf8();
        const qsizetype local = whole.indexOf(name) - 30, central = whole.lastIndexOf(name) - 46;
        QByteArray damaged = whole;
        for (qsizetype i = local + 4096; i < local + 4096 + 16; ++i)
            damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
        TestTree::WriteFile(archive, damaged);
        CheckRefused(UnpackWithWorker(archive),
                     {"data is damaged", "the entry's CRC does not match", "data ends early"});

        // A third of its size declared in both headers: a bomb costs one buffer.
        QByteArray lessDeclared = whole;
        for (const qsizetype at : {local + 22, central + 24}) {
            QCOMPARE(qFromLittleEndian<quint32>(whole.constData() + at), kFiles[kBig].size());
            qToLittleEndian<quint32>(kFiles[kBig].size() / 3, lessDeclared.data() + at);
        }
        TestTree::WriteFile(archive, lessDeclared);
        CheckRefused(UnpackWithWorker(archive), {"the entry holds more data than it declares"});
    }

    void brokenStreamsSayWhy_data() {
        QTest::addColumn<Broken>("broken");
        const auto cut = [](QByteArray body) { return body.left(body.size() - 40); };
        const auto same = [](QByteArray body) { return body; };
        const QString lzma = "xz --format=lzma -c";
        QTest::newRow("LZMA header with four bytes of properties")
            << Broken{kLzma, lzma, [](QByteArray body) { return body.replace(2, 1, "\x04"); },
                      ": the LZMA header is damaged"};
        // lc, lp and pb go up to 224 together
        QTest::newRow("LZMA properties out of range")
            << Broken{kLzma, lzma, [](QByteArray body) { return body.replace(4, 1, "\xe6"); },
                      ": the data's settings are damaged or unknown"};
        QTest::newRow("LZMA header cut short")
            << Broken{kLzma, lzma, [](QByteArray body) { return body.left(6); },
                      ": the LZMA data ends early"};
        QTest::newRow("LZMA cut short") << Broken{kLzma, lzma, cut, ": the LZMA data ends early"};
        QTest::newRow("XZ cut short") << Broken{kXz, "xz -c", cut, ": the XZ data ends early"};
        QTest::newRow("XZ with junk after it")
            << Broken{kXz, "xz -c", [](QByteArray body) { return body + "no stream follows"; },
                      ": the XZ data is damaged"};
        QTest::newRow("Zstandard cut short")
            << Broken{kZstandard, "zstd -q -c", cut, ": the Zstandard data ends early"};
        QTest::newRow("Zstandard with junk after it")
            << Broken{kZstandard, "zstd -q -c", [](QByteArray body) { return body + "junk"; },
                      ": the Zstandard data is damaged"};
        QTest::newRow("Zstandard, nothing at all")
            << Broken{kZstandard, "zstd -q -c", [](QByteArray) { return QByteArray(); },
                      ": the Zstandard data ends early"};
        QTest::newRow("Deflate64, not read here")
            << Broken{9, {}, same, " uses Deflate64 (9), which this build cannot read"};
        QTest::newRow("PPMd, not read here")
            << Broken{98, {}, same, " uses PPMd (98), which this build cannot read"};
    }
    void brokenStreamsSayWhy() {
        QFETCH(Broken, broken);
        QTemporaryDir dir;
        const QByteArray content = kFiles[kBig];
        const QByteArray body = broken.tool.isEmpty()
                                    ? content
                                    : Compressed(broken.tool, broken.method, content, dir.path());
        const QString archive = dir.filePath("case.zip");
        TestTree::WriteFile(archive, ZipBytes::Build({ZipBytes::Stored("first.txt", "fine"),
                                                      HandMade(kBig, content, broken.method,
                                                               broken.breakBody(body))}));
        const Unpacked unpacked = UnpackWithWorker(archive);
        CheckRefused(unpacked, {"entry 2 (" + kBig + ")" + broken.cause});
        // The entry before it is in place, whole.
        QCOMPARE(ReadAll(unpacked.destination + "/first.txt"), QByteArray("fine"));
    }
};

QTEST_GUILESS_MAIN(TestMethods)
#include "tst_methods.moc"
