// How a command-line argument becomes a path: the exact bytes of an argument as tarvo-cli and
// the direct mode take it, and the archive path the direct mode reads from a Windows command
// line, on the strings Explorer, shortcuts and scripts really produce.

#include "app/CommandLine.h"
#include "archive/PathRefusal.h"
#include "archive/ResolvedPath.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void anArgumentIsItsExactBytes_data() {
        QTest::addColumn<QByteArray>("argument");
        QTest::addColumn<QString>("path"); // below the current folder; null: refused
        QTest::newRow("a blank at the end is part of the name")
            << QByteArray("report.zip ") << "report.zip ";
        QTest::newRow("so is one at the start") << QByteArray(" report.zip") << " report.zip";
        QTest::newRow("UTF-8") << QByteArray("caf\xc3\xa9.zip") << QStringLiteral("café.zip");
        QTest::newRow("not UTF-8: refused, not read as a look-alike")
            << QByteArray("caf\xe9.zip") << QString();
        QTest::newRow("a trailing slash names the folder") << QByteArray("box/") << "box";
        QTest::newRow("\".\" is the folder itself") << QByteArray("box/.") << "box";
    }
    void anArgumentIsItsExactBytes() {
        QFETCH(QByteArray, argument);
        QFETCH(QString, path);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("box"));
        const QString before = QDir::currentPath();
        QDir::setCurrent(dir.path());
        const QString current = QDir::currentPath();
        try {
            const QString resolved = ArgumentPath(argument);
            QDir::setCurrent(before);
            QVERIFY(!path.isNull());
            QCOMPARE(resolved, current + "/" + path);
        } catch (const PathRefusal& refusal) {
            QDir::setCurrent(before);
            QVERIFY(path.isNull());
            QVERIFY2(QByteArray(refusal.what()).contains("caf\\xE9.zip"), refusal.what());
        }
    }

    void readsThePathFromTheCommandLine_data() {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<QString>("remainder");
        QTest::addColumn<QString>("path");

        QTest::newRow("a quoted path, as Explorer opens an archive")
            << "\"C:\\Program Files\\Tarvo\\Tarvo.exe\" \"C:\\Users\\Ann\\My photos.zip\""
            << "\"C:\\Users\\Ann\\My photos.zip\""
            << "C:\\Users\\Ann\\My photos.zip";
        QTest::newRow("an unquoted path loses its first and last characters")
            << "Tarvo.exe C:\\Data\\photos.zip"
            << "C:\\Data\\photos.zip"
            << ":\\Data\\photos.zi";
        QTest::newRow("two quoted names not separated are all program name")
            << "\"C:\\Tarvo\\Tarvo.exe\"\"C:\\Data\\photos.zip\""
            << ""
            << "";
        QTest::newRow("blanks after the closing quote of the program name are skipped")
            << "\"C:\\Tarvo\\Tarvo.exe\"    \"C:\\Data\\photos.zip\""
            << "\"C:\\Data\\photos.zip\""
            << "C:\\Data\\photos.zip";
        QTest::newRow("a blank after the closing quote of the path keeps that quote")
            << "\"C:\\Tarvo\\Tarvo.exe\" \"C:\\Data\\photos.zip\" "
            << "\"C:\\Data\\photos.zip\" "
            << "C:\\Data\\photos.zip\"";
        QTest::newRow("an empty quoted argument gives an empty path")
            << "\"C:\\Tarvo\\Tarvo.exe\" \"\""
            << "\"\""
            << "";
        QTest::newRow("blanks inside the quotes belong to the path")
            << "Tarvo.exe \"  C:\\Data\\photos.zip  \""
            << "\"  C:\\Data\\photos.zip  \""
            << "  C:\\Data\\photos.zip  ";
        QTest::newRow("a tab inside quotes belongs to the program name")
            << "\"C:\\Tools\tTarvo\\Tarvo.exe\" \"C:\\Data\\photos.zip\""
            << "\"C:\\Data\\photos.zip\""
            << "C:\\Data\\photos.zip";
        QTest::newRow("a tab outside quotes ends the program name")
            << "C:\\Tools\\Tarvo.exe\t\"C:\\Data\\photos.zip\""
            << "\"C:\\Data\\photos.zip\""
            << "C:\\Data\\photos.zip";
        QTest::newRow("quotes in the middle of the program name")
            << "C:\\\"Program Files\"\\Tarvo\\Tar\"vo.e\"xe \"C:\\Data\\photos.zip\""
            << "\"C:\\Data\\photos.zip\""
            << "C:\\Data\\photos.zip";
        QTest::newRow("an unclosed quote makes the whole line the program name")
            << "\"C:\\Program Files\\Tarvo.exe C:\\Data\\photos.zip"
            << ""
            << "";
        QTest::newRow("control characters after the program name are skipped")
            << QStringLiteral("Tarvo.exe\x01\x1f\r\n\"C:\\Data\\photos.zip\"")
            << "\"C:\\Data\\photos.zip\""
            << "C:\\Data\\photos.zip";
        QTest::newRow("only blanks after the program name") << "\"C:\\Tarvo\\Tarvo.exe\"   "
                                                            << ""
                                                            << "";
        QTest::newRow("a single character after the program name") << "Tarvo.exe x"
                                                                   << "x"
                                                                   << "";
        QTest::newRow("no argument") << "Tarvo.exe"
                                     << ""
                                     << "";
        QTest::newRow("an empty command line") << ""
                                               << ""
                                               << "";
        QTest::newRow("characters beyond ASCII pass through")
            << QStringLiteral("Tarvo.exe \"D:\\Фото\\日本 2024.zip\"")
            << QStringLiteral("\"D:\\Фото\\日本 2024.zip\"")
            << QStringLiteral("D:\\Фото\\日本 2024.zip");
    }
    void readsThePathFromTheCommandLine() {
        QFETCH(QString, raw);
        QFETCH(QString, remainder);
        QFETCH(QString, path);
        QCOMPARE(CommandLineRemainder(raw), remainder);
        QCOMPARE(CleanDirectModePath(CommandLineRemainder(raw)), path);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
