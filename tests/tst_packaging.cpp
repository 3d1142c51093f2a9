// What the installation hands the desktop and the package archive: the menu entries that start
// Tarvo on a file or folder (the desktop entry's actions, Dolphin's service menus, Nemo's
// actions) must be well-formed for their reader and start the installed program with options
// it takes; the Debian package must pass lintian without an error or a warning.

#include "support/TestTree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

namespace {

const QString AppId = QStringLiteral(TARVO_APP_ID);
const QString Version = QStringLiteral(TARVO_VERSION);

using KeyFile = QMap<QString, QMap<QString, QString>>; // group -> key -> value

// The groups and keys of a desktop-entry style file, as the file managers read it: "[group]"
// lines, "key=value" lines, '#' comments. A key given twice in a group is refused, as the
// readers disagree on which one counts.
KeyFile ReadKeyFile(const QString& path, QString* problem) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = "cannot read " + path;
        return {};
    }
    KeyFile groups;
    QString group;
    for (const QString& line : QString::fromUtf8(file.readAll()).split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (line.startsWith('[') && line.endsWith(']')) {
            group = line.mid(1, line.size() - 2);
            if (groups.contains(group))
                *problem = "group given twice: " + group;
            groups[group];
        } else if (line.contains('=') && !group.isEmpty()) {
            const QString key = line.section('=', 0, 0);
            if (groups[group].contains(key))
                *problem = "key given twice: " + group + "/" + key;
            groups[group].insert(key, line.section('=', 1));
        } else {
            *problem = "stray line: " + line;
        }
    }
    return groups;
}

bool HasTool(const QString& name) {
    return !QStandardPaths::findExecutable(name).isEmpty();
}

} // namespace

class TestPackaging : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefix;

    QString Installed(const QString& relative) const { return m_prefix.filePath(relative); }

    // The Exec line starts the installed tarvo on one file, with options the program takes:
    // given them and --help, it answers with its usage instead of refusing them.
    void CheckStartsTarvo(const QString& exec, const QString& fileCode) {
        QStringList words = exec.split(' ');
        QCOMPARE(words.value(0), QStringLiteral("tarvo"));
        QCOMPARE(words.count(fileCode), 1);
        QCOMPARE(words.constLast(), fileCode);
        words.removeFirst();
        words.removeLast();
        QString output;
        QCOMPARE(TestTree::Run(Installed("bin/tarvo"), words + QStringList{"--help"}, {}, &output),
                 0);
        QVERIFY2(output.startsWith("Usage: tarvo"), qPrintable(output));
    }

private slots:
    void initTestCase() {
        qunsetenv("DESTDIR");
        QVERIFY(m_prefix.isValid());
        QString output;
        QVERIFY2(TestTree::Run(QStringLiteral(CMAKE_COMMAND),
                               {"--install", TARVO_BUILD_DIR, "--prefix", m_prefix.path()}, {},
                               &output) == 0,
                 qPrintable(output));
    }

    // Each file that puts Tarvo into a menu for a selected file or folder: the keys its reader
    // needs for the entry to show, and an Exec line per action that starts the installed
    // program on the one file. A missing key or a misspelt group hides the entry without a
    // word, so it is looked for here.
    void menuEntriesStartTheInstalledProgram_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("mainGroup");
        QTest::addColumn<QStringList>("required"); // key=value pairs of the main group
        QTest::addColumn<QString>("fileCode");     // the Exec field code for the one path
        QTest::addColumn<QStringList>("names");    // the actions' names, in order

        QTest::newRow("desktop entry") << "share/applications/" + AppId + ".desktop"
                                       << "Desktop Entry" << QStringList{"Type=Application"} << "%f"
                                       << QStringList{"Unzip here", "Zip"};
        const QStringList service{"Type=Service", "X-KDE-ServiceTypes=KonqPopupMenu/Plugin"};
        QTest::newRow("Dolphin: zip")
            << "share/kio/servicemenus/tarvo-zip.desktop"
            << "Desktop Entry" << service << "%f" << QStringList{"Zip with Tarvo"};
        QTest::newRow("Dolphin: unzip")
            << "share/kio/servicemenus/tarvo-unzip.desktop"
            << "Desktop Entry" << service << "%f" << QStringList{"Unzip with Tarvo"};
        // Nemo puts the paths in where %F stands; "s" shows the action for one selected item.
        const QStringList nemo{"Selection=s", "Quote=double"};
        QTest::newRow("Nemo: zip")
            << "share/nemo/actions/tarvo-zip.nemo_action"
            << "Nemo Action" << nemo << "%F" << QStringList{"Zip with Tarvo"};
        QTest::newRow("Nemo: unzip")
            << "share/nemo/actions/tarvo-unzip.nemo_action"
            << "Nemo Action" << nemo << "%F" << QStringList{"Unzip with Tarvo"};
    }
    void menuEntriesStartTheInstalledProgram() {
        QFETCH(QString, file);
        QFETCH(QString, mainGroup);
        QFETCH(QStringList, required);
        QFETCH(QString, fileCode);
        QFETCH(QStringList, names);
        const QString path = Installed(file);
        // A root-owned file under share/ is trusted as it is; an executable one is a fault to
        // lintian.
        QVERIFY(QFileInfo(path).permissions().testFlag(QFileDevice::ReadOther));
        QVERIFY(!QFileInfo(path).isExecutable());
        QString problem;
        const KeyFile groups = ReadKeyFile(path, &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        const QMap<QString, QString> main = groups.value(mainGroup);
        for (const QString& pair : required)
            QCOMPARE(mainGroup + "/" + main.value(pair.section('=', 0, 0)),
                     mainGroup + "/" + pair.section('=', 1));

        // The sections that start the program: every action of a desktop file; a Nemo action
        // file is one action.
        QList<QMap<QString, QString>> actions;
        if (mainGroup == QLatin1String("Nemo Action")) {
            actions << main;
            const bool matchesSomething =
                main.value("Extensions").endsWith(';') || main.value("Mimetypes").endsWith(';');
            QVERIFY2(matchesSomething, "Nemo needs a ';'-ended Extensions or Mimetypes list");
        } else {
            QVERIFY(main.value("MimeType").endsWith(';'));
            const QStringList ids = main.value("Actions").split(';', Qt::SkipEmptyParts);
            QVERIFY(main.value("Actions").endsWith(';'));
            for (const QString& id : ids) {
                QVERIFY2(groups.contains("Desktop Action " + id), qPrintable(id));
                actions << groups.value("Desktop Action " + id);
            }
        }
        QStringList shown;
        for (const QMap<QString, QString>& action : actions) {
            shown << action.value("Name");
            CheckStartsTarvo(action.value("Exec"), fileCode);
            const QString icon = action.value(action.contains("Icon-Name") ? "Icon-Name" : "Icon",
                                              main.value("Icon"));
            QVERIFY2(
                QFileInfo::exists(Installed("share/icons/hicolor/scalable/apps/" + icon + ".svg")),
                qPrintable("no installed icon " + icon));
        }
        QCOMPARE(shown, names);

        if (mainGroup == QLatin1String("Desktop Entry") && main.value("Type") == "Application") {
            if (!HasTool("desktop-file-validate"))
                QSKIP("desktop-file-validate is not installed (package desktop-file-utils)");
            QString output;
            QCOMPARE(TestTree::Run("desktop-file-validate", {path}, {}, &output), 0);
            QVERIFY2(output.trimmed().isEmpty(), qPrintable(output));
        }
    }

    // The software centre shows two pictures of the windows, each one the documentation has.
    void metainfoShowsTheWindows() {
        QFile file(Installed("share/metainfo/" + AppId + ".metainfo.xml"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QStringList images, captions;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("image"))
                images << xml.readElementText();
            else if (xml.name() == QLatin1String("caption"))
                captions << xml.readElementText();
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(images.size(), 2);
        QCOMPARE(captions.size(), 2);
        for (const QString& image : images) {
            QVERIFY2(image.startsWith("https://"), qPrintable(image));
            const QString name = image.section('/', -1);
            QVERIFY2(QFileInfo::exists(TARVO_SOURCE_DIR "/docs/screenshots/" + name),
                     qPrintable(name));
        }
    }

    // The package as the archive's checker sees it: no error, no warning. The changelog it
    // ships speaks of the version it is.
    void debianPackagePassesLintian() {
        QFile changelog(TARVO_SOURCE_DIR "/res/debian/changelog");
        QVERIFY(changelog.open(QIODevice::ReadOnly));
        QVERIFY(changelog.readLine().startsWith("tarvo (" + Version.toUtf8() + ") "));
        if (!HasTool("lintian"))
            QSKIP("lintian is not installed (package lintian)");
        QTemporaryDir out;
        QString output;
        QVERIFY2(TestTree::Run(QStringLiteral(CPACK_COMMAND),
                               {"--config", TARVO_BUILD_DIR "/CPackConfig.cmake", "-G", "DEB", "-B",
                                out.path()},
                               {}, &output, 300000) == 0,
                 qPrintable(output));
        const QString deb = out.filePath(QStringLiteral("tarvo_%1_amd64.deb").arg(Version));
        QVERIFY(QFileInfo::exists(deb));
        const int exitCode =
            TestTree::Run("lintian", {"--fail-on", "error,warning", "--no-tag-display-limit", deb},
                          {}, &output, 400000);
        QVERIFY2(exitCode == 0, qPrintable(output));
        const QRegularExpression complaint(QStringLiteral("^[EW]: "),
                                           QRegularExpression::MultilineOption);
        QVERIFY2(!output.contains(complaint), qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(TestPackaging)
#include "tst_packaging.moc"
