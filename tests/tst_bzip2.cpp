// Our bzip2 block encoder on crafted and real chunks: each stream must decode to its chunk in
// libbz2 and in our own strict block decoder, say where its block ends and what its CRC is, and
// come out about as small as libbz2's own at level 9. And chunks compressed one by one and
// joined into a single bzip2 stream, decoded by libbz2 itself.

#include "support/TestTree.h"
#include "ziparchive/bzip2/Bzip2BlockDecoder.h"
#include "ziparchive/bzip2/Bzip2BlockJoiner.h"
#include "ziparchive/bzip2/Bzip2Format.h"
#include "ziparchive/bzip2/encode/Bzip2BlockEncoder.h"
#include "ziparchive/bzip2/encode/HuffmanTables.h"
#include "ziparchive/bzip2/encode/RotationSort.h"
#include "ziparchive/write/ChunkCompressor.h"

#include <QFile>
#include <QTest>

#include <bzlib.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

constexpr qsizetype Chunk = static_cast<qsizetype>(ChunkCompressor::MaxChunk);

// bzip2's CRC: CRC-32 with the bits taken most significant first and not reflected, unlike
// zip's. Bit by bit, so the test does not trust the table-driven one it checks.
std::uint32_t Bzip2Crc(const QByteArray& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : data) {
        crc ^= static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return ~crc;
}

// size bytes of a random word of `period` bytes repeated; the block sort's hardest case.
QByteArray Periodic(qsizetype size, qsizetype period, quint32 seed) {
    const QByteArray word = TestTree::RandomBytes(period, seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = word[i % period];
    return bytes;
}

// Runs of `run` equal bytes, each run a different byte from the one before.
QByteArray Runs(qsizetype size, qsizetype run) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('a' + (i / run) % 26);
    return bytes;
}

QByteArray AllByteValues(int times, bool descending) {
    QByteArray bytes;
    for (int t = 0; t < times; ++t) {
        for (int b = 0; b < 256; ++b)
            bytes.append(static_cast<char>(descending ? 255 - b : b));
    }
    return bytes;
}

QByteArray FileStart(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(Chunk) : QByteArray();
}

QByteArray Decode(const std::uint8_t* stream, std::size_t length, qsizetype room) {
    QByteArray decoded(room, Qt::Uninitialized);
    auto decodedLength = static_cast<unsigned>(decoded.size());
    const int result = BZ2_bzBuffToBuffDecompress(
        decoded.data(), &decodedLength, reinterpret_cast<char*>(const_cast<std::uint8_t*>(stream)),
        static_cast<unsigned>(length), 0, 0);
    return result == BZ_OK ? decoded.left(decodedLength) : QByteArray("libbz2 refused it");
}

struct Joined {
    QByteArray stream;
    std::uint32_t streamCrc = 0;
};

Joined CompressAndJoin(const QByteArray& data) {
    ChunkCompressor compressor;
    Bzip2BlockJoiner joiner;
    CompressedBlock block;
    Joined joined;
    std::vector<std::uint8_t> drained(4096);
    auto drain = [&] {
        while (const std::size_t n = joiner.Drain(drained.data(), drained.size()))
            joined.stream.append(reinterpret_cast<const char*>(drained.data()),
                                 static_cast<qsizetype>(n));
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
    joined.streamCrc = joiner.StreamCrc();
    return joined;
}

// The CRC stored in the stream's last 32 bits before the padding: found by locating the end
// marker the way a reader would, scanning back from the end.
std::uint32_t StoredStreamCrc(const QByteArray& stream) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(stream.constData());
    const auto size = static_cast<std::size_t>(stream.size());
    const std::uint64_t bits = static_cast<std::uint64_t>(stream.size()) * 8;
    for (unsigned padding = 0; padding < 8; ++padding) {
        const std::uint64_t marker = bits - 80 - padding;
        if (ReadMarker(bytes, size, marker) == kBzip2EndMarker)
            return ReadBits32(bytes, size, marker + kBzip2MarkerBits);
    }
    return 0xDEADBEEF;
}

} // namespace

class TestBzip2 : public QObject {
    Q_OBJECT

private slots:
    void chunkRoundTrips_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::newRow("one zero byte") << QByteArray(1, '\0');
        QTest::newRow("one 0xff byte") << QByteArray(1, '\xff');
        QTest::newRow("two different bytes") << QByteArray("ab");
        for (const qsizetype run : {2, 3, 4, 5, 255, 256, 258, 259, 260, 1000})
            QTest::addRow("one byte %lld times", qint64(run)) << QByteArray(run, 'q');
        QTest::newRow("one byte, a whole chunk") << QByteArray(Chunk, '\0');
        QTest::newRow("runs of four, a whole chunk: the block is full")
            << Runs(Chunk, 4); // the run-length stage grows it by 5/4 to the block's limit
        QTest::newRow("runs of 255") << Runs(300'000, 255);
        QTest::newRow("runs of 259") << Runs(300'000, 259);
        for (const qsizetype period : {2, 3, 7, 50, 256, 1000, 65536})
            QTest::addRow("period %lld, a whole chunk", qint64(period))
                << Periodic(Chunk, period, static_cast<quint32>(period));
        QTest::newRow("period 7, cut mid-word") << Periodic(70'003, 7, 9);
        QTest::newRow("period 3000, twice and a bit") << Periodic(6'500, 3000, 10);
        QTest::newRow("ab, repeated") << Periodic(100'000, 2, 1).replace('\0', 'x');
        QTest::newRow("all byte values once") << AllByteValues(1, false);
        QTest::newRow("all byte values, descending, 300 times") << AllByteValues(300, true);
        QTest::newRow("random, 1 KiB") << TestTree::RandomBytes(1024, 11);
        QTest::newRow("random, a whole chunk") << TestTree::RandomBytes(Chunk, 12);
        QTest::newRow("text, a few words") << TestTree::TextBytes(200, 13);
        QTest::newRow("text, a whole chunk") << TestTree::TextBytes(Chunk, 14);
        QTest::newRow("text, then zeros, then random") << TestTree::TextBytes(100'000, 15) +
                                                              QByteArray(100'000, '\0') +
                                                              TestTree::RandomBytes(100'000, 16);
        for (const char* path :
             {"/usr/share/common-licenses/GPL-3", "/usr/bin/bash",
              "/usr/lib/x86_64-linux-gnu/libc.so.6", "/usr/share/mime/mime.cache"}) {
            const QByteArray bytes = FileStart(QString::fromUtf8(path));
            if (!bytes.isEmpty())
                QTest::addRow("real file %s", path) << bytes;
        }
    }
    void chunkRoundTrips() {
        QFETCH(QByteArray, input);
        const auto* data = reinterpret_cast<const std::uint8_t*>(input.constData());
        const auto size = static_cast<std::size_t>(input.size());

        // The encoder alone, into a buffer of exactly the size the compressor gives it.
        CompressedBlock ours;
        ours.stream = std::make_unique<std::uint8_t[]>(ChunkCompressor::StreamCapacity);
        ours.capacity = ChunkCompressor::StreamCapacity;
        Bzip2BlockEncoder encoder;
        QVERIFY(encoder.Encode(data, size, ours));
        const std::uint8_t* stream = ours.stream.get();
        QCOMPARE(Decode(stream, ours.streamLength, input.size() + 1), input);

        // What the joiner takes from it: where the block ends and its CRC.
        const std::uint32_t crc = Bzip2Crc(input);
        QCOMPARE(ours.blockCrc, crc);
        const std::uint64_t endMarker = kBzip2HeaderBits + ours.blockBits;
        QCOMPARE(ReadMarker(stream, ours.streamLength, endMarker), kBzip2EndMarker);
        QCOMPARE(ReadBits32(stream, ours.streamLength, endMarker + kBzip2MarkerBits), crc);
        QVERIFY(ours.streamLength * 8 - (endMarker + kBzip2MarkerBits + 32) < 8);

        // Our own decoder is strict about complete codes and the run-length stage; a block
        // it refused would still unzip, through libbz2, but slowly.
        Bzip2BlockDecoder decoder;
        std::vector<unsigned char> padded(stream, stream + ours.streamLength);
        padded.resize(padded.size() + kBzip2ReadSlack);
        std::vector<char> decoded;
        Bzip2BlockDecoder::Block block;
        QVERIFY(decoder.Decode(padded.data(), ours.streamLength, kBzip2HeaderBits, 9, block));
        QCOMPARE(decoder.Produce(decoded, size + 1), Bzip2BlockDecoder::Produced::Done);
        QCOMPARE(QByteArray(decoded.data(), static_cast<qsizetype>(decoded.size())), input);
        QCOMPARE(block.endBit, endMarker);

        CompressedBlock theirs;
        ChunkCompressor(ChunkCompressor::Engine::Libbz2, false).Compress(data, size, theirs);
        QVERIFY2(ours.streamLength <= theirs.streamLength + theirs.streamLength / 100 + 16,
                 qPrintable(QStringLiteral("%1 bytes, libbz2 %2")
                                .arg(ours.streamLength)
                                .arg(theirs.streamLength)));
    }

    // The block sort starts the block at its least rotation; checked against every rotation.
    void leastRotationIsTheSmallest_data() {
        QTest::addColumn<QByteArray>("block");
        QTest::newRow("one byte") << QByteArray("x");
        QTest::newRow("already least") << QByteArray("abcabd");
        QTest::newRow("least at the end") << QByteArray("bbbba");
        QTest::newRow("one word twice: the first of the two") << QByteArray("cabcab");
        QTest::newRow("one byte repeated") << QByteArray(40, 'z');
        QTest::newRow("long equal stretches, told apart late")
            << QByteArray(30, 'a') + 'c' + QByteArray(30, 'a') + 'b' + QByteArray(29, 'a') + 'b';
        QTest::newRow("stretches that wrap around the end")
            << QByteArray(13, 'a') + 'b' + QByteArray(17, 'a') + 'b' + QByteArray(4, 'a');
        QTest::newRow("random") << TestTree::RandomBytes(300, 40);
        QTest::newRow("random word repeated") << Periodic(333, 37, 41);
    }
    void leastRotationIsTheSmallest() {
        QFETCH(QByteArray, block);
        const QByteArray twice = block + block;
        qsizetype least = 0;
        for (qsizetype i = 1; i < block.size(); ++i) {
            if (twice.mid(i, block.size()) < twice.mid(least, block.size()))
                least = i;
        }
        QCOMPARE(LeastRotation(reinterpret_cast<const std::uint8_t*>(block.constData()),
                               static_cast<std::size_t>(block.size())),
                 static_cast<std::size_t>(least));
    }

    // Skewed frequencies make Huffman trees deeper than the format's decoders accept; the
    // lengths must be cut to 17 and still form a complete code.
    void codeLengthsAreCompleteAndShort_data() {
        QTest::addColumn<QList<std::uint32_t>>("frequency");
        QList<std::uint32_t> fibonacci(kMaxAlphabet);
        std::uint32_t a = 1, b = 1;
        for (auto& f : fibonacci) {
            f = a;
            const std::uint32_t next = std::min<std::uint64_t>(a + b, 0x7fffffff);
            a = b;
            b = next;
        }
        QTest::newRow("fibonacci, 258 symbols") << fibonacci;
        QTest::newRow("fibonacci, 40 symbols") << fibonacci.first(40);
        QTest::newRow("all unused") << QList<std::uint32_t>(kMaxAlphabet, 0);
        QTest::newRow("one used of three") << QList<std::uint32_t>{0, 900'000, 0};
        QTest::newRow("two symbols") << QList<std::uint32_t>{5, 7};
        QList<std::uint32_t> powers(30);
        for (qsizetype i = 0; i < powers.size(); ++i)
            powers[i] = 1u << i;
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
        for (int s = 0; s < alphabet; ++s) {
            for (int t = 0; t < alphabet; ++t) {
                if (frequency[s] > frequency[t])
                    QVERIFY(lengths[s] <= lengths[t]);
            }
        }
    }

    void joinedStreamDecodesToInput_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("one byte") << QByteArray("x");
        QTest::newRow("random, a chunk less one byte") << TestTree::RandomBytes(Chunk - 1, 1);
        QTest::newRow("random, exactly one chunk") << TestTree::RandomBytes(Chunk, 2);
        QTest::newRow("random, one chunk and a byte") << TestTree::RandomBytes(Chunk + 1, 3);
        QTest::newRow("random, two chunks and a bit") << TestTree::RandomBytes(2 * Chunk + 77, 4);
        QTest::newRow("random, several megabytes") << TestTree::RandomBytes(2'300'000, 5);
        QTest::newRow("text, a chunk less one byte") << TestTree::TextBytes(Chunk - 1, 6);
        QTest::newRow("text, one chunk and a byte") << TestTree::TextBytes(Chunk + 1, 7);
        QTest::newRow("text, several megabytes") << TestTree::TextBytes(2'200'000, 8);
        QTest::newRow("one byte repeated, three chunks") << QByteArray(3 * Chunk, 'z');
        QTest::newRow("zeros, many chunks") << QByteArray(6 * Chunk + 5, '\0');
        QTest::newRow("runs of four, a full chunk") << Runs(Chunk, 4);
        QTest::newRow("runs of four, two chunks and a bit") << Runs(2 * Chunk + 3, 4);
        // Small chunk ends leave the next block at every bit offset in turn.
        QByteArray mixed;
        for (int i = 0; i < 3; ++i)
            mixed += TestTree::RandomBytes(Chunk, 20 + i);
        mixed += TestTree::TextBytes(1000, 30);
        QTest::newRow("random chunks, then a short text tail") << mixed;
    }
    void joinedStreamDecodesToInput() {
        QFETCH(QByteArray, input);
        const Joined joined = CompressAndJoin(input);
        QVERIFY(joined.stream.startsWith("BZh9"));

        // One byte of room more than needed, so a decoder that kept going would show it.
        QVERIFY(Decode(reinterpret_cast<const std::uint8_t*>(joined.stream.constData()),
                       static_cast<std::size_t>(joined.stream.size()), input.size() + 1) == input);

        std::uint32_t expectedCrc = 0;
        for (qsizetype at = 0; at < input.size(); at += Chunk) {
            const std::uint32_t blockCrc = Bzip2Crc(input.mid(at, Chunk));
            expectedCrc = ((expectedCrc << 1) | (expectedCrc >> 31)) ^ blockCrc;
        }
        QCOMPARE(joined.streamCrc, expectedCrc);
        QCOMPARE(StoredStreamCrc(joined.stream), expectedCrc);
    }
};

QTEST_GUILESS_MAIN(TestBzip2)
#include "tst_bzip2.moc"
