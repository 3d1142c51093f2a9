// Where an archive unpacks to, on a real file tree.

#include "archive/UnzipDestination.h"
#include "support/TestTree.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestUnzipDestination : public QObject {
    Q_OBJECT

private slots:
    void destinationRule_data() {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QStringList>("existing"); // "f name", "d name" or "l name"
        QTest::addColumn<QString>("expected");
        QTest::newRow("nothing beside it") << "photos.zip" << QStringList{} << "photos";
        QTest::newRow("a file of that name")
            << "photos.zip" << QStringList{"f photos"} << "photos(1)";
        QTest::newRow("only one (1), ever")
            << "photos.zip" << QStringList{"f photos", "f photos(1)"} << "photos(1)";
        QTest::newRow("an existing directory is unpacked into")
            << "photos.zip" << QStringList{"d photos"} << "photos";
        QTest::newRow("a link is not taken for a directory")
            << "photos.zip" << QStringList{"l photos"} << "photos(1)";
        QTest::newRow("last dot only") << "a.b.zip" << QStringList{} << "a.b";
        QTest::newRow("no dot: the archive itself is in the way")
            << "archive" << QStringList{} << "archive(1)";
        QTest::newRow("dot in a directory name only")
            << "my.files/archive" << QStringList{"d my.files"} << "my";
    }
    void destinationRule() {
        QFETCH(QString, archive);
        QFETCH(QStringList, existing);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        for (const QString& item : existing) {
            const QString path = dir.filePath(item.mid(2));
            if (item.startsWith('f'))
                TestTree::WriteFile(path, "x");
            else if (item.startsWith('d'))
                QDir().mkpath(path);
            else
                QFile::link(dir.filePath("elsewhere"), path);
        }
        TestTree::WriteFile(dir.filePath(archive), "PK");
        QCOMPARE(UnzipDestinationFor(dir.filePath(archive)), dir.filePath(expected));
    }
};

QTEST_GUILESS_MAIN(TestUnzipDestination)
#include "tst_unzipdestination.moc"
