// BZIP2 both ways. Our block encoder on crafted and real chunks: each stream must decode to its
// chunk in libbz2 and come out about as small as libbz2's own at level 9; chunks compressed one
// by one and joined into a single stream decode in libbz2 and in our own strict block decoder. And
// the reader's own decoding, which splits large entries at their block markers and decodes them on
// several threads: whatever the data and its damage, the outcome and the bytes are the same on one
// thread or several, and an intact stream is always taken by it (otherwise every entry would pay
// for a second decoding, by libbz2). Random damage, checked against libbz2, is the fuzzers'.

#include "support/ReaderRun.h"
#include "support/TestTree.h"
#include "support/ZipBytes.h"
#include "ziparchive/ThreadBudget.h"
#include "ziparchive/bzip2/BlockwiseBzip2.h"
#include "ziparchive/bzip2/Bzip2BlockDecoder.h"
#include "ziparchive/bzip2/Bzip2BlockJoiner.h"
#include "ziparchive/bzip2/encode/Bzip2BlockEncoder.h"
#include "ziparchive/bzip2/encode/HuffmanTables.h"
#include "ziparchive/bzip2/encode/InducedSort.h"
#include "ziparchive/bzip2/encode/RotationSort.h"
#include "ziparchive/fs/UniqueFd.h"
#include "ziparchive/read/EntryInput.h"
#include "ziparchive/read/EntryOutput.h"
#include "ziparchive/read/EntryPlan.h"
#include "ziparchive/write/ChunkCompressor.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <bzlib.h>
#include <divsufsort.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

using ZipBytes::Entry;

Q_DECLARE_METATYPE(ZipBytes::Entry)

namespace {

constexpr qsizetype Chunk = static_cast<qsizetype>(ChunkCompressor::MaxChunk);

// size bytes made by `byteAt`.
QByteArray Generated(qsizetype size, const std::function<char(qsizetype)>& byteAt) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = byteAt(i);
    return bytes;
}

// A random word of `period` bytes repeated; the block sort's hardest case.
QByteArray Periodic(qsizetype size, qsizetype period, quint32 seed) {
    const QByteArray word = TestTree::RandomBytes(period, seed);
    return Generated(size, [&](qsizetype i) { return word[i % period]; });
}

// Runs of `run` equal bytes, each run a different byte from the one before.
QByteArray Runs(qsizetype size, qsizetype run) {
    return Generated(size, [&](qsizetype i) { return static_cast<char>('a' + (i / run) % 26); });
}

// Runs of one byte up to 3,000 long, which bzip2's first stage shortens before the blocks are
// cut, so that a block holds far more than its nominal size.
QByteArray LongRuns(qsizetype size) {
    QByteArray bytes;
    for (quint32 state = 12345; bytes.size() < size;) {
        state = state * 1103515245 + 12345;
        bytes.append(static_cast<qsizetype>(state % 3000 + 1), static_cast<char>(state >> 24));
    }
    return bytes.left(size);
}

QByteArray LibbzDecoded(QByteArray stream, qsizetype room) {
    QByteArray decoded(room, Qt::Uninitialized);
    auto decodedLength = static_cast<unsigned>(decoded.size());
    const int result = BZ2_bzBuffToBuffDecompress(decoded.data(), &decodedLength, stream.data(),
                                                  static_cast<unsigned>(stream.size()), 0, 0);
    return result == BZ_OK ? decoded.left(decodedLength) : QByteArray("libbz2 refused it");
}

// The chunk through our encoder alone, into a buffer of exactly the size the compressor gives
// it: libbz2 decodes it, and it comes out about as small as libbz2's own. A small chunk's stream
// is encoded again into buffers a little too short: it is refused with nothing written past the
// buffer's end, at every length short of the stream's; one that fits exactly comes out whole.
void CheckEncodedChunk(const QByteArray& input) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(input.constData());
    const auto size = static_cast<std::size_t>(input.size());
    Bzip2BlockEncoder encoder;
    CompressedBlock ours;
    ours.stream = std::make_unique<std::uint8_t[]>(ChunkCompressor::StreamCapacity);
    ours.capacity = ChunkCompressor::StreamCapacity;
    QVERIFY(encoder.Encode(data, size, ours));
    const std::size_t length = ours.streamLength;
    const QByteArray stream(reinterpret_cast<const char*>(ours.stream.get()),
                            static_cast<qsizetype>(length));
    QCOMPARE(LibbzDecoded(stream, input.size() + 1), input);
    CompressedBlock theirs;
    ChunkCompressor(ChunkCompressor::Engine::Libbz2, false).Compress(data, size, theirs);
    QVERIFY2(
        length <= theirs.streamLength + theirs.streamLength / 100 + 16,
        qPrintable(QStringLiteral("%1 bytes, libbz2 %2").arg(length).arg(theirs.streamLength)));
    constexpr std::size_t guard = 16;
    for (std::size_t capacity = length - 12; size <= 10'000 && capacity <= length; ++capacity) {
        CompressedBlock tight;
        tight.capacity = capacity;
        tight.stream = std::make_unique<std::uint8_t[]>(capacity + guard);
        std::fill_n(tight.stream.get(), capacity + guard, 0xa5);
        QCOMPARE(encoder.Encode(data, size, tight), capacity == length);
        QVERIFY(std::all_of(tight.stream.get() + capacity, tight.stream.get() + capacity + guard,
                            [](std::uint8_t b) { return b == 0xa5; }));
        QVERIFY(capacity < length ||
                std::equal(ours.stream.get(), ours.stream.get() + length, tight.stream.get()));
    }
}

// The data compressed chunk by chunk and joined into one stream.
QByteArray CompressAndJoin(const QByteArray& data) {
    ChunkCompressor compressor;
    Bzip2BlockJoiner joiner;
    CompressedBlock block;
    QByteArray joined;
    std::vector<std::uint8_t> drained(4096);
    const auto drain = [&] {
        while (const std::size_t n = joiner.Drain(drained.data(), drained.size()))
            joined.append(reinterpret_cast<const char*>(drained.data()), static_cast<qsizetype>(n));
    };
    for (qsizetype at = 0; at < data.size(); at += Chunk) {
        const qsizetype length = std::min(Chunk, data.size() - at);
        compressor.Compress(reinterpret_cast<const std::uint8_t*>(data.constData() + at),
                            static_cast<std::size_t>(length), block);
        joiner.Append(block);
        drain();
    }
    joiner.Finish();
    drain();
    return joined;
}

// Runs the blockwise decoder over the stream, read from a file as an entry's data is; true when
// it took the stream and gave back the content.
bool TakenBlockwise(const QByteArray& content, const QByteArray& stream, unsigned threads) {
    const UniqueFd file(::memfd_create("stream", MFD_CLOEXEC));
    if (::write(file.Get(), stream.constData(), static_cast<std::size_t>(stream.size())) !=
        stream.size())
        return false;
    EntryInput input(file.Get(), 0, static_cast<std::uint64_t>(stream.size()));
    EntryPlan plan;
    plan.method = 12;
    plan.crc = ZipBytes::Crc32(content);
    plan.size = static_cast<std::uint64_t>(content.size());
    plan.localHeaderSound = true;
    MemoryOutput output;
    Bzip2Workspace workspace;
    Bzip2SplitTeam team;
    const std::atomic<bool> cancel{false};
    ThreadBudget budget(threads);
    const ThreadBudget::Lease caller = budget.Worker();
    const auto result = DecodeBzip2Blockwise(input, plan, output, cancel, budget, workspace, &team);
    return result && result->status == DecodeStatus::Sound &&
           QByteArray::fromStdString(output.Bytes()) == content;
}

} // namespace

class TestBzip2 : public QObject {
    Q_OBJECT

private slots:
    void encodedAndJoinedStreamsDecode_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("one zero byte") << QByteArray(1, '\0');
        QTest::newRow("one 0xff byte") << QByteArray(1, '\xff');
        QTest::newRow("two different bytes") << QByteArray("ab");
        for (const qsizetype run : {2, 3, 4, 5, 255, 256, 258, 259, 260, 1000})
            QTest::addRow("one byte %lld times", qint64(run)) << QByteArray(run, 'q');
        QTest::newRow("zeros, many chunks") << QByteArray(6 * Chunk + 5, '\0');
        // The run-length stage grows a chunk of these by 5/4 to the block's limit.
        QTest::newRow("runs of four, two chunks and a bit") << Runs(2 * Chunk + 3, 4);
        QTest::newRow("runs of 255") << Runs(300'000, 255);
        QTest::newRow("runs of 259") << Runs(300'000, 259);
        for (const qsizetype period : {2, 3, 7, 50, 256, 1000, 65536})
            QTest::addRow("period %lld, a whole chunk", qint64(period))
                << Periodic(Chunk, period, static_cast<quint32>(period));
        QTest::newRow("period 7, cut mid-word") << Periodic(70'003, 7, 9);
        QTest::newRow("period 3000, twice and a bit") << Periodic(6'500, 3000, 10);
        QTest::newRow("ab, repeated") << Periodic(100'000, 2, 1).replace('\0', 'x');
        QTest::newRow("all byte values once")
            << Generated(256, [](qsizetype i) { return static_cast<char>(i); });
        QTest::newRow("all byte values, descending, 300 times")
            << Generated(256 * 300, [](qsizetype i) { return static_cast<char>(255 - i % 256); });
        QTest::newRow("random, 1 KiB") << TestTree::RandomBytes(1024, 11);
        QTest::newRow("random, a chunk less one byte") << TestTree::RandomBytes(Chunk - 1, 1);
        QTest::newRow("random, exactly one chunk") << TestTree::RandomBytes(Chunk, 2);
        QTest::newRow("random, two chunks and a bit") << TestTree::RandomBytes(2 * Chunk + 77, 4);
        QTest::newRow("text, a few words") << TestTree::TextBytes(200, 13);
        QTest::newRow("text, a chunk less one byte") << TestTree::TextBytes(Chunk - 1, 6);
        QTest::newRow("text, several megabytes") << TestTree::TextBytes(2'200'000, 8);
        QTest::newRow("text, then zeros, then random") << TestTree::TextBytes(100'000, 15) +
                                                              QByteArray(100'000, '\0') +
                                                              TestTree::RandomBytes(100'000, 16);
        // Small chunk ends leave the next block at every bit offset in turn.
        QTest::newRow("random chunks, then a short text tail")
            << TestTree::RandomBytes(3 * Chunk, 20) + TestTree::TextBytes(1000, 30);
        for (const char* path :
             {"/usr/share/common-licenses/GPL-3", "/usr/bin/bash",
              "/usr/lib/x86_64-linux-gnu/libc.so.6", "/usr/share/mime/mime.cache"}) {
            QFile file(QString::fromUtf8(path));
            if (file.open(QIODevice::ReadOnly))
                QTest::addRow("real file %s", path) << file.read(Chunk);
        }
    }
    void encodedAndJoinedStreamsDecode() {
        QFETCH(QByteArray, input);
        for (qsizetype at = 0; at < input.size() && !QTest::currentTestFailed(); at += Chunk)
            CheckEncodedChunk(input.mid(at, Chunk));
        const QByteArray joined = CompressAndJoin(input);
        // One byte of room more than needed, so a decoder that kept going would show it; libbz2
        // checks the block CRCs and the stream's combined CRC, and so where each block ends.
        QCOMPARE(LibbzDecoded(joined, input.size() + 1), input);
        // Our own decoder is strict about complete codes and the run-length stage; a block it
        // refused would still unzip, through libbz2, but slowly.
        QVERIFY(TakenBlockwise(input, joined, 1));
    }

    // The block sort starts the block at its least rotation; checked against every rotation.
    void leastRotationIsTheSmallest_data() {
        QTest::addColumn<QByteArray>("block");
        QTest::newRow("one byte") << QByteArray("x");
        QTest::newRow("already least") << QByteArray("abcabd");
        QTest::newRow("least at the end") << QByteArray("bbbba");
        QTest::newRow("smallest byte once, in the middle") << QByteArray("dcbabcd");
        QTest::newRow("smallest byte at both ends, a run across the wrap") << QByteArray("abbab");
        QTest::newRow("one word twice: the first of the two") << QByteArray("cabcab");
        QTest::newRow("one byte repeated") << QByteArray(40, 'z');
        QTest::newRow("long equal stretches, told apart late")
            << QByteArray(30, 'a') + 'c' + QByteArray(30, 'a') + 'b' + QByteArray(29, 'a') + 'b';
        QTest::newRow("stretches that wrap around the end")
            << QByteArray(13, 'a') + 'b' + QByteArray(17, 'a') + 'b' + QByteArray(4, 'a');
        QTest::newRow("random") << TestTree::RandomBytes(300, 40);
        const QByteArray random = TestTree::RandomBytes(400, 42);
        QTest::newRow("random over three letters") << Generated(400, [&](qsizetype i) {
            return static_cast<char>('a' + static_cast<quint8>(random[i]) % 3);
        });
        QTest::newRow("random word repeated") << Periodic(333, 37, 41);
    }
    void leastRotationIsTheSmallest() {
        QFETCH(QByteArray, block);
        const QByteArray twice = block + block;
        qsizetype least = 0;
        for (qsizetype i = 1; i < block.size(); ++i)
            if (twice.mid(i, block.size()) < twice.mid(least, block.size()))
                least = i;
        QCOMPARE(LeastRotation(reinterpret_cast<const std::uint8_t*>(block.constData()),
                               static_cast<std::size_t>(block.size())),
                 static_cast<std::size_t>(least));
    }

    // The block decoder is told where the data ends and may read a little past it: those bits
    // never count as the block's, even when they hold just what the block lacks, here the last
    // few bits of the very block that was cut.
    void blockDecoderTakesNoBitPastTheData() {
        const QByteArray input = TestTree::TextBytes(50'000, 5);
        Bzip2BlockEncoder encoder;
        CompressedBlock encoded;
        encoded.stream = std::make_unique<std::uint8_t[]>(ChunkCompressor::StreamCapacity);
        encoded.capacity = ChunkCompressor::StreamCapacity;
        QVERIFY(encoder.Encode(reinterpret_cast<const std::uint8_t*>(input.constData()),
                               static_cast<std::size_t>(input.size()), encoded));
        const std::uint8_t* bytes = encoded.stream.get(); // "BZh" and the level, then the block
        const int level = bytes[3] - '0';
        const std::uint64_t blockStart = 32;
        Bzip2BlockDecoder decoder;
        Bzip2BlockDecoder::Block block;
        QVERIFY(decoder.Decode(bytes, encoded.streamLength, blockStart, level, block));
        std::vector<char> out;
        QCOMPARE(decoder.Produce(out, input.size() + 1), Bzip2BlockDecoder::Produced::Done);
        QCOMPARE(QByteArray(out.data(), static_cast<qsizetype>(out.size())), input);
        const std::size_t longestShort = static_cast<std::size_t>((block.endBit - 1) / 8);
        for (std::size_t size = longestShort; size + 8 > longestShort; --size)
            QVERIFY2(!decoder.Decode(bytes, size, blockStart, level, block),
                     qPrintable(QStringLiteral("cut to %1 bytes").arg(size)));
    }

    // Small blocks are sorted by induced sorting, large ones by the general suffix sorter; both
    // must give one order. Runs and periods make the reduced strings of the recursion repeat.
    void inducedSortOrdersAsTheGeneralSorter_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("one byte") << QByteArray("x");
        QTest::newRow("two equal bytes") << QByteArray("xx");
        QTest::newRow("falling") << QByteArray("zyxwvutsrqponm");
        QTest::newRow("rising, then one byte repeated")
            << QByteArray("abcdefg") + QByteArray(9, 'a');
        QTest::newRow("one byte repeated") << QByteArray(5000, '\0');
        QTest::newRow("all 256 byte values, twice")
            << Generated(512, [](qsizetype i) { return static_cast<char>(255 - i % 256); });
        const QByteArray random = TestTree::RandomBytes(8191, 7);
        QTest::newRow("random over two letters") << Generated(8191, [&](qsizetype i) {
            return static_cast<char>('a' + static_cast<quint8>(random[i]) % 2);
        });
        QTest::newRow("random bytes") << random;
        QTest::newRow("text") << TestTree::TextBytes(8000, 6);
        for (const qsizetype period : {2, 3, 7, 64, 1000})
            QTest::newRow(qPrintable(QString("period %1").arg(period)))
                << Periodic(6000 + period / 2, period, static_cast<quint32>(period));
        QTest::newRow("long runs") << LongRuns(7000);
    }
    void inducedSortOrdersAsTheGeneralSorter() {
        QFETCH(QByteArray, text);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.constData());
        std::vector<std::int32_t> expected(static_cast<std::size_t>(text.size()));
        std::vector<std::int32_t> induced(expected.size());
        QCOMPARE(divsufsort(bytes, expected.data(), static_cast<saidx_t>(text.size())), 0);
        InducedSuffixArray(bytes, induced.data(), induced.size());
        QVERIFY(induced == expected);
    }

    // Skewed frequencies make Huffman trees deeper than the format's decoders accept; the
    // lengths must be cut to 17 and still form a complete code.
    void codeLengthsAreCompleteAndShort_data() {
        QTest::addColumn<QList<std::uint32_t>>("frequency");
        QList<std::uint32_t> fibonacci{1, 1};
        while (fibonacci.size() < kMaxAlphabet)
            fibonacci << std::min<std::uint32_t>(fibonacci.last() + fibonacci[fibonacci.size() - 2],
                                                 0x7fffffff);
        QList<std::uint32_t> powers;
        for (int i = 0; i < 30; ++i)
            powers << (1u << i);
        QTest::newRow("fibonacci, 258 symbols") << fibonacci;
        QTest::newRow("fibonacci, 40 symbols") << fibonacci.first(40);
        QTest::newRow("all unused") << QList<std::uint32_t>(kMaxAlphabet, 0);
        QTest::newRow("one used of three") << QList<std::uint32_t>{0, 900'000, 0};
        QTest::newRow("two symbols") << QList<std::uint32_t>{5, 7};
        QTest::newRow("powers of two") << powers;
    }
    void codeLengthsAreCompleteAndShort() {
        QFETCH(QList<std::uint32_t>, frequency);
        std::uint8_t lengths[kMaxAlphabet] = {};
        const int alphabet = static_cast<int>(frequency.size());
        BuildCodeLengths(frequency.data(), alphabet, kMaxCodeLength, lengths);
        // Kraft's sum, in units of 2^-kMaxCodeLength, is exactly one for a complete code.
        std::uint64_t kraft = 0;
        for (int s = 0; s < alphabet; ++s) {
            QVERIFY(lengths[s] >= 1 && lengths[s] <= kMaxCodeLength);
            kraft += std::uint64_t{1} << (kMaxCodeLength - lengths[s]);
        }
        QCOMPARE(kraft, std::uint64_t{1} << kMaxCodeLength);
        // A more frequent symbol never gets a longer code.
        for (int s = 0; s < alphabet; ++s)
            for (int t = 0; t < alphabet; ++t)
                QVERIFY(frequency[s] <= frequency[t] || lengths[s] <= lengths[t]);
    }

    // Every block size, small streams and two large enough to split, one thread and several. In
    // the zeros each block expands past what a block waiting to be written may hold.
    void intactStreamsAreTakenWhole() {
        for (const QByteArray& content : {QByteArray("x"), TestTree::TextBytes(70'000, 1),
                                          TestTree::RandomBytes(300'000, 2), LongRuns(2'000'000),
                                          TestTree::TextBytes(6'000'000, 3) + LongRuns(4'000'000) +
                                              TestTree::RandomBytes(2'000'000, 4),
                                          QByteArray(40 << 20, '\0')})
            for (int blockSize = 1; blockSize <= 9; blockSize += 4)
                for (const unsigned threads : {1u, 3u})
                    QVERIFY2(
                        TakenBlockwise(content, ZipBytes::Bzip2Stream(content, blockSize), threads),
                        qPrintable(QString("%1 bytes, %2 00k blocks, %3 threads")
                                       .arg(content.size())
                                       .arg(blockSize)
                                       .arg(threads)));
    }

    // Every row is unpacked on one, two and three threads; the big data shapes one thread and
    // several take apart are in intactStreamsAreTakenWhole.
    void entriesUnzipAsInOnePiece_data() {
        QTest::addColumn<Entry>("entry");
        QTest::addColumn<QByteArray>("content"); // null: the entry is refused
        const QByteArray text = TestTree::TextBytes(12 << 20, 1);
        const QByteArray random = TestTree::RandomBytes(9 << 20, 2);
        // Runs of one byte expand each block to 45 MB, which is written piece by piece.
        const QByteArray zeros(64 << 20, '\0');
        const Entry whole = ZipBytes::Bzip2("big", text);
        // `whole` changed by `change`, and what it unpacks to.
        const auto row = [&](const char* name, const QByteArray& content,
                             const std::function<void(Entry&)>& change) {
            Entry entry = whole;
            if (change)
                change(entry);
            QTest::newRow(name) << entry << content;
        };
        const auto damaged = [](qsizetype from) {
            return [from](Entry& e) {
                for (qsizetype i = from; i < from + 8; ++i)
                    e.body[i] = static_cast<char>(e.body[i] ^ 0xa5);
            };
        };
        row("text, 900k blocks", text, {});
        row("zeros", zeros, [&](Entry& e) { e = ZipBytes::Bzip2("big", zeros); });
        row("bytes after the end of the stream", text,
            [](Entry& e) { e.body += "trailing bytes"; });
        // No marker follows the first one: no block can be that long, and the stream is left to
        // libbz2 rather than held whole.
        row("no second block marker", {}, [&](Entry& e) {
            e = ZipBytes::Bzip2("big", random);
            e.body = "BZh9" + QByteArray::fromHex("314159265359") + random + random;
        });
        row("a block damaged in the middle", {}, damaged(whole.body.size() / 2));
        row("the last block damaged", {}, damaged(whole.body.size() - 40));
        row("the entry's CRC wrong", {}, [](Entry& e) { e.crc ^= 1; });
        row("the stream's CRC wrong", {}, [](Entry& e) { e.body.back() ^= 0x80; });
        row("the stream cut after some blocks", {},
            [](Entry& e) { e.body.truncate(e.body.size() * 2 / 3); });
        row("declared shorter than it decodes", {}, [](Entry& e) { e.size -= 1000; });
        row("declared longer than it decodes", {}, [](Entry& e) { e.size += 1000; });
        row("two streams back to back", {}, [&](Entry& e) {
            e.body += ZipBytes::Bzip2Stream(text);
            e.size *= 2;
            e.crc = ZipBytes::Crc32(text + text);
        });
    }
    void entriesUnzipAsInOnePiece() {
        QFETCH(Entry, entry);
        QFETCH(QByteArray, content);
        QTemporaryDir top;
        const QByteArray bytes = ZipBytes::Build(
            {ZipBytes::Stored("first", "first"), entry, ZipBytes::Stored("last", "last")});
        for (const unsigned threads : {1u, 2u, 3u}) {
            const QString archive = top.filePath(QString("out%1.zip").arg(threads));
            TestTree::WriteFile(archive, bytes);
            const QString destination = top.filePath(QString("out%1").arg(threads));
            QCOMPARE(ReaderRun::Unpack(archive, destination, threads),
                     content.isNull() ? "corrupted" : "succeeded");
            QFile big(destination + "/big");
            if (content.isNull()) {
                QCOMPARE(TestTree::Snapshot(destination).keys(), QStringList{"first"});
            } else {
                QVERIFY(big.open(QIODevice::ReadOnly) && big.readAll() == content);
                QVERIFY(QFileInfo::exists(destination + "/last"));
            }
            QFile::remove(archive);
        }
        QCOMPARE(ReaderRun::Leftovers(top.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestBzip2)
#include "tst_bzip2.moc"
