// Chunks compressed one by one and joined into a single bzip2 stream, decoded by libbz2 itself.

#include "support/TestTree.h"
#include "ziparchive/bzip2/Bzip2BlockJoiner.h"
#include "ziparchive/bzip2/Bzip2Format.h"
#include "ziparchive/write/ChunkCompressor.h"

#include <QTest>

#include <bzlib.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

constexpr qsizetype Chunk = static_cast<qsizetype>(ChunkCompressor::MaxChunk);

// bzip2's CRC: CRC-32 with the bits taken most significant first and not reflected, unlike
// zip's. Written out here so the test does not trust the code it checks.
std::uint32_t Bzip2Crc(const char* data, qsizetype size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < size; ++i) {
        crc ^= static_cast<std::uint32_t>(static_cast<std::uint8_t>(data[i])) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return ~crc;
}

QByteArray Repeated(qsizetype size, char byte) {
    return QByteArray(size, byte);
}

// Runs of four equal bytes: the first run-length stage turns every one into five bytes, the
// most any input grows there, which is what the chunk size is chosen for.
QByteArray RunsOfFour(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('a' + (i / 4) % 26);
    return bytes;
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

class TestBzip2Join : public QObject {
    Q_OBJECT

private slots:
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
        QTest::newRow("one byte repeated, three chunks") << Repeated(3 * Chunk, 'z');
        QTest::newRow("zeros, many chunks") << Repeated(6 * Chunk + 5, '\0');
        QTest::newRow("runs of four, a full chunk") << RunsOfFour(Chunk);
        QTest::newRow("runs of four, two chunks and a bit") << RunsOfFour(2 * Chunk + 3);
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
        QByteArray decoded(input.size() + 1, Qt::Uninitialized);
        auto decodedLength = static_cast<unsigned>(decoded.size());
        const int result = BZ2_bzBuffToBuffDecompress(
            decoded.data(), &decodedLength, const_cast<char*>(joined.stream.constData()),
            static_cast<unsigned>(joined.stream.size()), 0, 0);
        QCOMPARE(result, BZ_OK);
        decoded.truncate(decodedLength);
        QVERIFY(decoded == input);

        std::uint32_t expectedCrc = 0;
        for (qsizetype at = 0; at < input.size(); at += Chunk) {
            const std::uint32_t blockCrc =
                Bzip2Crc(input.constData() + at, std::min(Chunk, input.size() - at));
            expectedCrc = ((expectedCrc << 1) | (expectedCrc >> 31)) ^ blockCrc;
        }
        QCOMPARE(joined.streamCrc, expectedCrc);
        QCOMPARE(StoredStreamCrc(joined.stream), expectedCrc);
    }
};

QTEST_GUILESS_MAIN(TestBzip2Join)
#include "tst_bzip2join.moc"
