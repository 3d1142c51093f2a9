// Many operations in one process: memory, file descriptors and threads must not grow.

#include "archive/UnzipWorker.h"
#include "archive/ZipWorker.h"
#include "operation/ThreadStart.h"
#include "support/TestTree.h"
#include "support/WorkerRun.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

int OpenDescriptors() {
    return QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

int Threads() {
    return QDir("/proc/self/task").entryList(QDir::NoDotAndDotDot | QDir::Dirs).size();
}

qint64 ResidentBytes() {
    QFile statm("/proc/self/statm");
    statm.open(QIODevice::ReadOnly);
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

// One zip of the folder and one unzip of the archive it gave, both through the workers.
void ZipAndUnzip(const QString& folder) {
    {
        WorkerRun run;
        run.state().selectedPath = folder;
        run.state().zipSelected = run.state().zipFolder = true;
        QCOMPARE(RunZip(run.state()), ZipOutcome::Succeeded);
    }
    {
        WorkerRun run;
        run.state().selectedPath = folder + ".zip";
        run.state().unzipSelected = true;
        // The folder itself is in the way, so the archive unpacks beside it, into data(1).
        QCOMPARE(RunUnzip(run.state()), UnzipOutcome::Succeeded);
    }
    QVERIFY(QDir(folder + "(1)").removeRecursively());
}

} // namespace

class TestSoak : public QObject {
    Q_OBJECT

private slots:
    void fiveHundredOperationsLeaveNothingBehind() {
        QTemporaryDir dir;
        const QString folder = dir.filePath("data");
        for (int i = 0; i < 12; ++i)
            TestTree::WriteFile(QString("%1/sub%2/file%3.txt").arg(folder).arg(i % 3).arg(i),
                                TestTree::TextBytes(20000 + i * 1000, i));
        const auto original = TestTree::Snapshot(folder);

        // Warm up: allocators, thread pools and caches settle first.
        for (int i = 0; i < 20; ++i)
            ZipAndUnzip(folder);
        const int descriptors = OpenDescriptors();
        const int threads = Threads();
        const qint64 resident = ResidentBytes();

        for (int i = 0; i < 250; ++i) // 250 zips and 250 unzips
            ZipAndUnzip(folder);

        QCOMPARE(TestTree::Snapshot(folder), original);
        QCOMPARE(RunningThreadCount(), 0);
        QCOMPARE(OpenDescriptors(), descriptors);
        QTRY_COMPARE(Threads(), threads);
        const qint64 growth = ResidentBytes() - resident;
        QVERIFY2(growth < 16 * 1024 * 1024,
                 qPrintable(QString("resident memory grew by %1 KiB").arg(growth / 1024)));
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 (QStringList{"data", "data.zip"}));
    }
};

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
