// Installs the build tree into a fresh prefix, as `make install` does, and builds the Debian
// package once; then checks both with the tools the desktop and the package archive apply to
// them: the programs run from the prefix alone, the menu entries that start Tarvo on a file or
// folder (the desktop entry's actions, Dolphin's service menus, Nemo's actions) are well-formed
// for their reader and start the installed program with options it takes, and the package
// declares what it loads and passes lintian.

#include "support/TestTree.h"

#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString AppId = QStringLiteral(TARVO_APP_ID);
const QString Version = QStringLiteral(TARVO_VERSION);

QString Capture(const QString& program, const QStringList& arguments, int* exitCode = nullptr) {
    QString output;
    const int code = TestTree::Run(program, arguments, {}, &output, 400000);
    if (exitCode)
        *exitCode = code;
    return output;
}

QString ReadText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

using KeyFile = QMap<QString, QMap<QString, QString>>; // group -> key -> value

// The groups and keys of a desktop-entry style file, as the file managers read it: "[group]"
// lines, "key=value" lines, '#' comments. A group or key given twice is refused, as the readers
// disagree on which one counts.
KeyFile ReadKeyFile(const QString& path, QString* problem) {
    KeyFile groups;
    QString group;
    for (const QString& line : ReadText(path).split('\n', Qt::SkipEmptyParts)) {
        const QString key = line.section('=', 0, 0);
        if (line.startsWith('#'))
            continue;
        if (line.startsWith('[') && line.endsWith(']')) {
            group = line.mid(1, line.size() - 2);
            if (groups.contains(group))
                *problem = "group given twice: " + group;
            groups[group];
        } else if (!line.contains('=') || group.isEmpty() || groups[group].contains(key)) {
            *problem = "stray or repeated line: " + line;
        } else {
            groups[group].insert(key, line.section('=', 1));
        }
    }
    return groups;
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefix, m_packageDir, m_unpacked;
    QString m_deb;

    QString Installed(const QString& relative) const { return m_prefix.filePath(relative); }

private slots:
    void initTestCase() {
        // A DESTDIR left in the environment would move the whole installation.
        qunsetenv("DESTDIR");
        int code = 0;
        QString output = Capture(
            CMAKE_COMMAND, {"--install", TARVO_BUILD_DIR, "--prefix", m_prefix.path()}, &code);
        QVERIFY2(code == 0, qPrintable(output));
        output = Capture(CPACK_COMMAND,
                         {"--config", TARVO_BUILD_DIR "/CPackConfig.cmake", "-G", "DEB", "-B",
                          m_packageDir.path()},
                         &code);
        QVERIFY2(code == 0, qPrintable(output));
        m_deb = m_packageDir.filePath(QStringLiteral("tarvo_%1_amd64.deb").arg(Version));
        QVERIFY2(QFileInfo::exists(m_deb), qPrintable(output));
    }

    // Each file that puts Tarvo into a menu: a missing key or a misspelt group hides the entry
    // without a word, so they are looked for here; and every action (the main group when it has
    // an Exec line, every listed "Desktop Action") starts the installed program on the one file
    // and has a name and an installed icon.
    // Rows: where the file is installed, and patterns its main group's "key=value" lines must
    // match. Nemo's own files put the paths in where %F stands; "s" shows the action for one
    // selected item.
    void menuEntriesStartTheInstalledProgram_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("required");
        const QStringList kde{"Type=Service", "X-KDE-ServiceTypes=KonqPopupMenu/Plugin",
                              "MimeType=.+;", "Actions=.+;"};
        const QStringList nemo{"Selection=s", "Quote=double", "(Extensions|Mimetypes)=.+;"};
        QTest::newRow("desktop entry")
            << "applications/" + AppId + ".desktop"
            << QStringList{"Type=Application", "MimeType=.+;", "Actions=.+;"};
        QTest::newRow("Dolphin: zip") << "kio/servicemenus/tarvo-zip.desktop" << kde;
        QTest::newRow("Dolphin: unzip") << "kio/servicemenus/tarvo-unzip.desktop" << kde;
        QTest::newRow("Nemo: zip") << "nemo/actions/tarvo-zip.nemo_action" << nemo;
        QTest::newRow("Nemo: unzip") << "nemo/actions/tarvo-unzip.nemo_action" << nemo;
    }
    void menuEntriesStartTheInstalledProgram() {
        QFETCH(QString, file);
        QFETCH(QStringList, required);
        const bool nemo = file.endsWith(".nemo_action");
        const QString fileCode = nemo ? "%F" : "%f";
        QString problem;
        const KeyFile groups = ReadKeyFile(Installed("share/" + file), &problem);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        const QMap<QString, QString> main = groups.value(nemo ? "Nemo Action" : "Desktop Entry");
        QStringList lines;
        for (const auto& [key, value] : main.asKeyValueRange())
            lines << key + "=" + value;
        for (const QString& pattern : required)
            QVERIFY2(lines.indexOf(QRegularExpression(pattern)) >= 0, qPrintable(pattern));

        QList<QMap<QString, QString>> actions;
        if (main.contains("Exec"))
            actions << main;
        for (const QString& id : main.value("Actions").split(';', Qt::SkipEmptyParts)) {
            QVERIFY2(groups.contains("Desktop Action " + id), qPrintable(id));
            actions << groups.value("Desktop Action " + id);
        }
        QVERIFY(!actions.isEmpty());
        for (const QMap<QString, QString>& action : actions) {
            QVERIFY(!action.value("Name").isEmpty());
            const QString icon = action.value(action.contains("Icon-Name") ? "Icon-Name" : "Icon",
                                              main.value("Icon"));
            for (const QString picture : {"scalable/apps/%1.svg", "128x128/apps/%1.png"})
                QVERIFY2(QFileInfo::exists(Installed("share/icons/hicolor/" + picture.arg(icon))),
                         qPrintable("no installed icon " + picture.arg(icon)));
            // Given the Exec line's options and --help, the program answers with its usage
            // instead of refusing them.
            QStringList words = action.value("Exec").split(' ');
            QCOMPARE(words.count(fileCode), 1);
            QCOMPARE(words.takeLast(), fileCode);
            QCOMPARE(words.takeFirst(), QStringLiteral("tarvo"));
            QString output;
            QCOMPARE(TestTree::Run(Installed("bin/tarvo"), words << "--help", {}, &output), 0);
            QVERIFY2(output.startsWith("Usage: tarvo"), qPrintable(output));
        }
    }

    // The desktop's and the software centre's own validators; the pictures the metainfo shows
    // are ones the documentation has.
    void theDesktopFilesValidate() {
        const QString metainfo = Installed("share/metainfo/" + AppId + ".metainfo.xml");
        const QRegularExpression image("<image[^>]*>https://[^<]*/([^/<]+)</image>");
        int images = 0;
        for (const auto& match : image.globalMatch(ReadText(metainfo))) {
            ++images;
            QVERIFY2(QFileInfo::exists(TARVO_SOURCE_DIR "/docs/screenshots/" + match.captured(1)),
                     qPrintable(match.captured(1)));
        }
        QVERIFY(images > 0);
        REQUIRE_TOOLS("desktop-file-validate", "appstreamcli");
        int code = 0;
        QString output = Capture("desktop-file-validate",
                                 {Installed("share/applications/" + AppId + ".desktop")}, &code);
        QVERIFY2(code == 0 && output.trimmed().isEmpty(), qPrintable(output));
        output = Capture("appstreamcli", {"validate", "--no-net", metainfo}, &code);
        QVERIFY2(code == 0, qPrintable(output));
    }

    // The version is written out in files CMake does not generate; they must not drift apart.
    void everyFileCarriesTheProjectVersion() {
        const QString dotted = QRegularExpression::escape(Version);
        const QString commas = QString(Version).replace('.', ",\\s*");
        const QList<std::pair<QString, QString>> places{
            {"res/tarvo.rc", "FILEVERSION " + commas + "\n"},
            {"res/tarvo.rc", "PRODUCTVERSION " + commas + "\n"},
            {"res/tarvo.rc", "\"FileVersion\", \"" + dotted + "\""},
            {"res/tarvo.rc", "\"ProductVersion\", \"" + dotted + "\""},
            {"res/tarvo.manifest", "name=\"KestrinUtilities.Tarvo\" version=\"" + dotted + "\""},
            {"res/debian/changelog", "^tarvo \\(" + dotted + "\\) "},
            {"vcpkg.json", "\"version\": \"" + dotted + "\""},
            {"docs/tarvo-cli.1", "\"Tarvo " + dotted + "\""},
            {"docs/tarvo.1", "\"Tarvo " + dotted + "\""},
            {"share/metainfo/" + AppId + ".metainfo.xml",
             "<releases>\\s*<release version=\"" + dotted + "\""}};
        for (const auto& [file, pattern] : places)
            QVERIFY2(
                ReadText(file.startsWith("share/") ? Installed(file) : TARVO_SOURCE_DIR "/" + file)
                    .contains(QRegularExpression(pattern)),
                qPrintable(file + ": " + pattern));
    }

    // The package declares every library the programs load directly, so it installs whole on a
    // machine that has none of them yet; both programs run from it alone, not leaning on the
    // build tree. What else it holds (man pages, the desktop entry's program) lintian checks.
    void theDebianPackageIsWhole() {
        REQUIRE_TOOLS("dpkg-deb", "dpkg", "readelf");
        QCOMPARE(TestTree::Run("dpkg-deb", {"-x", m_deb, m_unpacked.path()}), 0);
        QSet<QString> declared;
        for (const QString& alternatives : Capture("dpkg-deb", {"-f", m_deb, "Depends"}).split(','))
            for (const QString& dependency : alternatives.split('|'))
                declared << dependency.trimmed().section(' ', 0, 0);
        const QRegularExpression needed("\\(NEEDED\\).*\\[(.+)\\]");
        for (const QString program : {"usr/bin/tarvo", "usr/bin/tarvo-cli"}) {
            QVERIFY(Capture(m_unpacked.filePath(program), {"--help"}).startsWith("Usage: tarvo"));
            const QString elf = Capture("readelf", {"-d", m_unpacked.filePath(program)});
            QVERIFY(!elf.contains(TARVO_BUILD_DIR));
            for (const auto& library : needed.globalMatch(elf)) {
                // "package[:arch][, package...]: path" for every installed file of the name.
                const QString owners = Capture("dpkg", {"-S", "*/" + library.captured(1)});
                bool declaredOwner = false;
                for (const QString& line : owners.split('\n', Qt::SkipEmptyParts))
                    for (const QString& owner : line.section(": ", 0, 0).split(", "))
                        declaredOwner |= declared.contains(owner.section(':', 0, 0));
                QVERIFY2(declaredOwner, qPrintable(program + " needs " + library.captured(1) +
                                                   ", not in Depends: " + owners));
            }
        }
    }

    // The package as the archive's checker sees it: no error, no warning.
    void debianPackagePassesLintian() {
        REQUIRE_TOOLS("lintian");
        int code = 0;
        const QString output = Capture(
            "lintian", {"--fail-on", "error,warning", "--no-tag-display-limit", m_deb}, &code);
        QVERIFY2(code == 0, qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
