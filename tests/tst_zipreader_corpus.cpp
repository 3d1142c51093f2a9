// Every archive of the public corpus (written by many tools, some of them damaged): where unzip
// unpacks one, the reader leaves the same tree; where unzip fails, the reader fails cleanly; and
// a link pointing out of the destination is never made.

#include "support/ReaderRun.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// unzip's exit codes 0 and 1 (warnings only) mean every entry came out.
bool UnzipSucceeded(int exitCode) {
    return exitCode == 0 || exitCode == 1;
}

// Whether any link below root resolves, from its own folder, to a path outside root.
bool HasLinkOutside(const QMap<QString, QString>& tree) {
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        if (!it.value().startsWith("l "))
            continue;
        const QString target = it.value().mid(2);
        const QString folder = QFileInfo(it.key()).path();
        const QString resolved = QDir::cleanPath(folder + "/" + target);
        if (QDir::isAbsolutePath(target) || resolved.startsWith("../") || resolved == "..")
            return true;
    }
    return false;
}

} // namespace

class TestZipReaderCorpus : public QObject {
    Q_OBJECT

private slots:
    void corpusArchive_data() {
        QTest::addColumn<QString>("source");
        const QDir corpus(QStringLiteral(TARVO_CORPUS_DIR));
        const QStringList names = corpus.entryList({"*.zip", "*.notzip"}, QDir::Files, QDir::Name);
        QVERIFY2(names.size() >= 30, qPrintable("corpus missing at " + corpus.path()));
        for (const QString& name : names)
            QTest::newRow(qPrintable(name)) << corpus.filePath(name);
    }
    void corpusArchive() {
        QFETCH(QString, source);
        QTemporaryDir top;
        // Unpacking writes beside the archive: work on a copy.
        const QString archive = top.filePath("archive.zip");
        QVERIFY(QFile::copy(source, archive));
        const QString expected = top.filePath("expected");
        const int unzipCode = ReaderRun::UnpackWithUnzip(archive, expected);
        const auto theirs = ReaderRun::Tree(expected);
        const QString destination = top.filePath("archive");
        const ReaderRun::Result result = ReaderRun::UnpackLikeTheWorker(archive, destination);
        const auto ours = ReaderRun::Tree(destination);

        if (UnzipSucceeded(unzipCode) && !HasLinkOutside(theirs)) {
            QCOMPARE(ReaderRun::OutcomeName(result.outcome), "succeeded");
            QCOMPARE(ours, theirs);
        } else {
            QVERIFY2(result.outcome != ReaderRun::Outcome::Succeeded,
                     qPrintable(QString("unzip exit code %1").arg(unzipCode)));
            QVERIFY(!HasLinkOutside(ours));
            // What was extracted before the failing entry is what unzip extracted too.
            for (auto it = ours.begin(); it != ours.end(); ++it)
                QCOMPARE(it.value(), theirs.value(it.key(), "missing"));
        }
        QCOMPARE(ReaderRun::Strays(top.path(), {"archive.zip", "archive", "expected"}),
                 QStringList());
        QCOMPARE(ReaderRun::Leftovers(top.path()), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestZipReaderCorpus)
#include "tst_zipreader_corpus.moc"
