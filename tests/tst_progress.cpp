// The bar follows the work done, not the clock: sampled while a large zip or unzip runs, it
// stays within 10 points of the share of the bytes truly written so far.

#include "archive/UnzipWorker.h"
#include "archive/ZipWorker.h"
#include "support/TestTree.h"
#include "support/WorkerRun.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <thread>

using Kind = RecordingReport::Record::Kind;

namespace {

constexpr qsizetype kLargeSize = 48 * 1024 * 1024;
constexpr int kTolerance = 10;
// The ticker looks at the counter every 40 ms and, on a loaded machine, may wait longer for a
// core: the bar must have caught up with the bytes written this long before it was read.
constexpr qint64 kTickerLatencyMs = 200;

// The bytes of every regular file below folder (hidden ones included), except `except`.
qint64 BytesBelow(const QString& folder, bool recursive, const QString& except = {}) {
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path != except)
            total += QFileInfo(path).size();
    }
    return total;
}

// Where the bar stands as a window shows it, in percent: the steps since the reset on the
// range of the operation.
int BarPercent(const RecordingReport& report, int range) {
    int steps = 0;
    for (const auto& record : report.Records()) {
        if (record.kind == Kind::Reset)
            steps = 0;
        else if (record.kind == Kind::Step)
            ++steps;
    }
    return std::min(steps, range) * 100 / range;
}

struct Sample {
    int trueBefore; // percent of the bytes written, a ticker's latency before the bar was read
    int bar;
    int trueAfter; // and just after
};

} // namespace

class TestProgress : public QObject {
    Q_OBJECT

private slots:
    // Incompressible bytes: the archive grows as the file is read, and what the writer keeps
    // in its buffer is a small share of it.
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        TestTree::WriteFile(m_dir.filePath("large.txt"), TestTree::RandomBytes(kLargeSize, 11));
        TestTree::WriteFile(m_dir.filePath("album/big.txt"),
                            TestTree::RandomBytes(kLargeSize / 2, 12));
        TestTree::WriteFile(m_dir.filePath("album/small.txt"), "a small file\n");
    }

    // Rows in order: the unzip reads the archive the first row writes.
    void theBarFollowsTheBytes_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QString>("output"); // what grows as the work is done
        QTest::newRow("zip a large file") << "zip"
                                          << "large.txt"
                                          << "large.txt.zip";
        QTest::newRow("zip a folder of one large file and a small one") << "zip folder"
                                                                        << "album"
                                                                        << "album.zip";
        QTest::newRow("unzip a large entry") << "unzip"
                                             << "unpack.zip"
                                             << "unpack/large.txt";
    }
    void theBarFollowsTheBytes() {
        QFETCH(QString, operation);
        QFETCH(QString, selected);
        QFETCH(QString, output);
        const bool unzip = operation == QLatin1String("unzip");
        // The archive of the first row, under a name whose folder nothing stands in the way of.
        if (unzip)
            QVERIFY(QFile::rename(m_dir.filePath("large.txt.zip"), m_dir.filePath(selected)));
        // Unzip writes the entry's bytes below the destination; zip writes the archive
        // (first under another name) in the folder of the selection.
        const QString destination = m_dir.filePath("unpack");
        const auto written = [&] {
            return unzip ? BytesBelow(destination, true)
                         : BytesBelow(m_dir.path(), false, m_dir.filePath("large.txt")) -
                               m_otherArchives;
        };
        WorkerRun run;
        run.state().selectedPath = m_dir.filePath(selected);
        run.state().unzipSelected = unzip;
        run.state().zipSelected = !unzip;
        run.state().zipFolder = operation == QLatin1String("zip folder");
        std::atomic<bool> done{false};
        bool succeeded = false;
        std::thread worker([&] {
            succeeded = unzip ? RunUnzip(run.state()) == UnzipOutcome::Succeeded
                              : RunZip(run.state()) == ZipOutcome::Succeeded;
            done = true;
        });
        QList<Sample> samples;
        QList<qint64> rawBefore, rawAfter, takenAt;
        QElapsedTimer clock;
        clock.start();
        while (!done) {
            const int range = run.state().PerFileMode() ? run.state().stepTotal.load() : 100;
            const qint64 before = written();
            const int bar = range > 0 ? BarPercent(run.report(), range) : 0;
            const qint64 after = written();
            takenAt << clock.elapsed();
            rawBefore << before;
            rawAfter << after;
            samples << Sample{0, bar, 0};
            QThread::msleep(15);
        }
        worker.join();
        QVERIFY(succeeded);
        const qint64 total = QFileInfo(m_dir.filePath(output)).size();
        QVERIFY(total > 0);
        int during = 0;
        qsizetype caughtUp = 0; // the last sample the bar must have caught up with
        for (qsizetype i = 0; i < samples.size(); ++i) {
            Sample& sample = samples[i];
            while (caughtUp + 1 < i && takenAt[caughtUp + 1] <= takenAt[i] - kTickerLatencyMs)
                ++caughtUp;
            sample.trueBefore =
                static_cast<int>(std::min(rawBefore[caughtUp], total) * 100 / total);
            sample.trueAfter = static_cast<int>(std::min(rawAfter[i], total) * 100 / total);
            during += sample.trueBefore > 5 && sample.trueAfter < 95;
            QVERIFY2(sample.bar >= sample.trueBefore - kTolerance &&
                         sample.bar <= sample.trueAfter + kTolerance,
                     qPrintable(QStringLiteral("sample %1 of %2: the bar at %3%, the bytes at "
                                               "%4..%5%")
                                    .arg(i)
                                    .arg(samples.size())
                                    .arg(sample.bar)
                                    .arg(sample.trueBefore)
                                    .arg(sample.trueAfter)));
        }
        // Not a pass by default: the work took long enough to be seen under way.
        QVERIFY2(during >= 3, qPrintable(QStringLiteral("%1 samples under way").arg(during)));
        if (!unzip)
            m_otherArchives += total;
    }

private:
    QTemporaryDir m_dir;
    qint64 m_otherArchives = 0; // archives the earlier rows left beside the selection
};

QTEST_GUILESS_MAIN(TestProgress)
#include "tst_progress.moc"
