// Archives with entry counts past what 16-bit fields hold, and at their exact limit.

#include "support/ReaderRun.h"
#include "support/TestTree.h"
#include "support/ZipBytes.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Counts the files below root.
int CountFiles(const QString& root) {
    int count = 0;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++count;
    }
    return count;
}

} // namespace

class TestZipReaderScale : public QObject {
    Q_OBJECT

private slots:
    void seventyThousandEntries() {
        QTemporaryDir top;
        const QString archive = top.filePath("archive.zip");
        // 70 folders of 1,000 files; every tenth file has content. Python writes the ZIP64 end
        // records a count over 65,535 needs.
        QCOMPARE(TestTree::RunPython(R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w') as archive:
    for i in range(70000):
        archive.writestr('d%02d/f%05d' % (i // 1000, i), b'x' * (i % 10 == 0))
)",
                                     {archive}),
                 0);
        const ReaderRun::Result result =
            ReaderRun::UnpackLikeTheWorker(archive, top.filePath("archive"));
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), "succeeded");
        QCOMPARE(result.extracted, std::uint64_t{70000});
        QCOMPARE(CountFiles(top.filePath("archive")), 70000);
        QCOMPARE(ReaderRun::Leftovers(top.path()), QStringList());
    }

    void exactly65535EntriesWithoutZip64() {
        QList<ZipBytes::Entry> entries;
        entries.reserve(65535);
        for (int i = 0; i < 65535; ++i)
            entries << ZipBytes::Stored("f" + QByteArray::number(i), {});
        QTemporaryDir top;
        const QString archive = top.filePath("archive.zip");
        TestTree::WriteFile(archive, ZipBytes::Build(entries));
        const ReaderRun::Result result =
            ReaderRun::UnpackLikeTheWorker(archive, top.filePath("archive"));
        QCOMPARE(ReaderRun::OutcomeName(result.outcome), "succeeded");
        QCOMPARE(CountFiles(top.filePath("archive")), 65535);
    }
};

QTEST_GUILESS_MAIN(TestZipReaderScale)
#include "tst_zipreader_scale.moc"
