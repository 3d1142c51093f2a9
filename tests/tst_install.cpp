// Installs the build tree into a fresh prefix, as `make install` does, and checks what lands
// there with the tools a desktop and a package archive would apply to it. Also builds the
// Debian package and looks inside.

#include "support/TestTree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

namespace {

const QString AppId = QStringLiteral(TARVO_APP_ID);
const QString Version = QStringLiteral(TARVO_VERSION);
const QString SourceDir = QStringLiteral(TARVO_SOURCE_DIR);

// Everything an installation holds, relative to the prefix.
QStringList ExpectedFiles() {
    return QStringList{
        QStringLiteral("bin/tarvo"),
        QStringLiteral("bin/tarvo-cli"),
        QStringLiteral("share/applications/%1.desktop").arg(AppId),
        QStringLiteral("share/doc/tarvo/changelog.gz"),
        QStringLiteral("share/doc/tarvo/copyright"),
        QStringLiteral("share/icons/hicolor/128x128/apps/tarvo.png"),
        QStringLiteral("share/icons/hicolor/scalable/apps/tarvo.svg"),
        QStringLiteral("share/kio/servicemenus/tarvo-unzip.desktop"),
        QStringLiteral("share/kio/servicemenus/tarvo-zip.desktop"),
        QStringLiteral("share/man/man1/tarvo-cli.1.gz"),
        QStringLiteral("share/man/man1/tarvo.1.gz"),
        QStringLiteral("share/metainfo/%1.metainfo.xml").arg(AppId),
        QStringLiteral("share/nemo/actions/tarvo-unzip.nemo_action"),
        QStringLiteral("share/nemo/actions/tarvo-zip.nemo_action"),
    };
}

QStringList FilesBelow(const QString& root) {
    QStringList files;
    for (const auto& [path, entry] : TestTree::Snapshot(root, false).asKeyValueRange()) {
        if (!entry.startsWith('d'))
            files << path;
    }
    files.sort();
    return files;
}

QString ReadText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The keys of the [Desktop Entry] group.
QMap<QString, QString> ReadDesktopEntry(const QString& path) {
    QMap<QString, QString> keys;
    bool inEntry = false;
    for (const QString& line : ReadText(path).split('\n')) {
        if (line.startsWith('['))
            inEntry = line == QLatin1String("[Desktop Entry]");
        else if (inEntry && line.contains('=') && !line.startsWith('#'))
            keys.insert(line.section('=', 0, 0), line.section('=', 1));
    }
    return keys;
}

bool HasTool(const QString& name) {
    return !QStandardPaths::findExecutable(name).isEmpty();
}

QString Capture(const QString& program, const QStringList& arguments) {
    QString output;
    TestTree::Run(program, arguments, {}, &output);
    return output;
}

// The Debian package that ships a shared library, found through the loader's view of a
// program. Debian 12 records some libraries under /lib, others under /usr/lib.
QString PackageOfLibrary(const QString& soname, const QString& lddOutput) {
    QString loaded;
    for (const QString& line : lddOutput.split('\n')) {
        // "name => path (address)", or "path (address)" for the dynamic loader itself.
        const QStringList words = line.simplified().split(' ');
        if (words.size() >= 3 && words.at(0) == soname && words.at(1) == QLatin1String("=>"))
            loaded = words.at(2);
        else if (!words.isEmpty() && words.at(0).endsWith('/' + soname))
            loaded = words.at(0);
    }
    if (loaded.isEmpty())
        return QString();
    const QString real = QFileInfo(loaded).canonicalFilePath();
    const QString other = real.startsWith("/usr/") ? real.mid(4) : QStringLiteral("/usr") + real;
    for (const QString& candidate : {loaded, real, other}) {
        QString owner;
        if (TestTree::Run(QStringLiteral("dpkg"), {"-S", candidate}, {}, &owner) == 0)
            return owner.section(':', 0, 0).trimmed();
    }
    return QString();
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefix;

    QString Installed(const QString& relative) const { return m_prefix.filePath(relative); }

private slots:
    void initTestCase() {
        // A DESTDIR left in the environment would move the whole installation.
        qunsetenv("DESTDIR");
        QVERIFY(m_prefix.isValid());
        QString output;
        const int exitCode =
            TestTree::Run(QStringLiteral(CMAKE_COMMAND),
                          {"--install", TARVO_BUILD_DIR, "--prefix", m_prefix.path()}, {}, &output);
        QVERIFY2(exitCode == 0, qPrintable(output));
    }

    // The programs run from the prefix alone, not leaning on the build tree.
    void installsExactlyTheProgramFiles() {
        QCOMPARE(FilesBelow(m_prefix.path()), ExpectedFiles());
        QString output;
        QCOMPARE(TestTree::Run(Installed("bin/tarvo-cli"), {"--help"}, {}, &output), 0);
        QVERIFY2(output.startsWith("Usage: tarvo-cli"), qPrintable(output));
        QVERIFY(QFileInfo(Installed("bin/tarvo")).isExecutable());
        if (!HasTool("readelf"))
            QSKIP("readelf is not installed (package binutils)");
        for (const QString& program : {Installed("bin/tarvo"), Installed("bin/tarvo-cli")}) {
            const QString dynamic = Capture("readelf", {"-d", program});
            QVERIFY2(!dynamic.contains(QStringLiteral(TARVO_BUILD_DIR)), qPrintable(dynamic));
        }
    }

    void desktopEntryStartsTheInstalledProgram() {
        const QString path = Installed(QStringLiteral("share/applications/%1.desktop").arg(AppId));
        const QMap<QString, QString> entry = ReadDesktopEntry(path);
        // One file at a time, the way the direct mode takes it.
        QCOMPARE(entry.value("Exec"), QStringLiteral("tarvo %f"));
        QVERIFY(entry.value("MimeType").split(';').contains("application/zip"));
        QVERIFY2(!entry.contains("NoDisplay"), "the entry must show in menus");
        const QString icon = entry.value("Icon");
        QVERIFY(QFileInfo::exists(Installed("share/icons/hicolor/scalable/apps/" + icon + ".svg")));
        QVERIFY(QFileInfo::exists(Installed("share/icons/hicolor/128x128/apps/" + icon + ".png")));

        if (!HasTool("desktop-file-validate"))
            QSKIP("desktop-file-validate is not installed (package desktop-file-utils)");
        QString output;
        QCOMPARE(TestTree::Run("desktop-file-validate", {path}, {}, &output), 0);
        QVERIFY2(output.trimmed().isEmpty(), qPrintable(output));
    }

    void metainfoDescribesTheInstalledFiles() {
        const QString path = Installed(QStringLiteral("share/metainfo/%1.metainfo.xml").arg(AppId));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QString id, launchable, firstRelease;
        QStringList binaries;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            if (xml.name() == QLatin1String("id"))
                id = xml.readElementText();
            else if (xml.name() == QLatin1String("launchable"))
                launchable = xml.readElementText();
            else if (xml.name() == QLatin1String("binary"))
                binaries << xml.readElementText();
            else if (xml.name() == QLatin1String("release") && firstRelease.isEmpty())
                firstRelease = xml.attributes().value("version").toString();
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(id, AppId);
        QVERIFY(QFileInfo::exists(Installed("share/applications/" + launchable)));
        QCOMPARE(binaries, (QStringList{"tarvo", "tarvo-cli"}));
        // The newest release comes first.
        QCOMPARE(firstRelease, Version);

        if (!HasTool("appstreamcli"))
            QSKIP("appstreamcli is not installed (package appstream)");
        QString output;
        QVERIFY2(TestTree::Run("appstreamcli", {"validate", "--no-net", path}, {}, &output) == 0,
                 qPrintable(output));
    }

    // The version is written out in files CMake does not generate; they must not drift apart.
    void everyFileCarriesTheProjectVersion_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("pattern");
        const QString dotted = QRegularExpression::escape(Version);
        const QString commas = QString(Version).replace('.', QStringLiteral(",\\s*"));
        QTest::newRow("Windows file version") << "res/tarvo.rc"
                                              << "FILEVERSION " + commas + "\n";
        QTest::newRow("Windows product version") << "res/tarvo.rc"
                                                 << "PRODUCTVERSION " + commas + "\n";
        QTest::newRow("Windows version strings") << "res/tarvo.rc"
                                                 << "\"FileVersion\", \"" + dotted + "\"";
        QTest::newRow("Windows product string") << "res/tarvo.rc"
                                                << "\"ProductVersion\", \"" + dotted + "\"";
        QTest::newRow("Windows manifest")
            << "res/tarvo.manifest"
            << "name=\"KestrinUtilities.Tarvo\" version=\"" + dotted + "\"";
        QTest::newRow("vcpkg manifest") << "vcpkg.json"
                                        << "\"version\": \"" + dotted + "\"";
        QTest::newRow("man page of tarvo-cli") << "docs/tarvo-cli.1"
                                               << "\"Tarvo " + dotted + "\"";
        QTest::newRow("man page of tarvo") << "docs/tarvo.1"
                                           << "\"Tarvo " + dotted + "\"";
    }
    void everyFileCarriesTheProjectVersion() {
        QFETCH(QString, file);
        QFETCH(QString, pattern);
        const QString text = ReadText(SourceDir + "/" + file);
        QVERIFY2(!text.isEmpty(), qPrintable(file));
        QVERIFY2(text.contains(QRegularExpression(pattern)), qPrintable(pattern));
    }

    void debianPackageHoldsTheInstallationAndItsDependencies() {
        for (const char* tool : {"dpkg-deb", "dpkg-shlibdeps", "dpkg", "readelf", "ldd", "file"}) {
            if (!HasTool(tool))
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));
        }
        QTemporaryDir out;
        QString output;
        QVERIFY2(TestTree::Run(QStringLiteral(CPACK_COMMAND),
                               {"--config", TARVO_BUILD_DIR "/CPackConfig.cmake", "-G", "DEB", "-B",
                                out.path()},
                               {}, &output, 300000) == 0,
                 qPrintable(output));
        const QStringList debs = QDir(out.path()).entryList({"*.deb"}, QDir::Files);
        QCOMPARE(debs, QStringList{QStringLiteral("tarvo_%1_amd64.deb").arg(Version)});
        const QString deb = out.filePath(debs.first());

        // The same files as a plain installation, under /usr.
        QTemporaryDir unpacked;
        QCOMPARE(TestTree::Run("dpkg-deb", {"-x", deb, unpacked.path()}, {}, &output), 0);
        QCOMPARE(FilesBelow(unpacked.filePath("usr")), ExpectedFiles());

        QMap<QString, QString> fields;
        for (const char* field : {"Package", "Version", "Section", "Maintainer", "Architecture"})
            fields.insert(field, Capture("dpkg-deb", {"-f", deb, field}).trimmed());
        QCOMPARE(fields.value("Package"), QStringLiteral("tarvo"));
        QCOMPARE(fields.value("Version"), Version);
        QCOMPARE(fields.value("Section"), QStringLiteral("utils"));
        QCOMPARE(fields.value("Maintainer"), QStringLiteral("Kestrin Utilities <packages@kestrin-utilities.example>"));

        // Every library the programs load directly is declared, so the package installs whole
        // on a machine that has none of them yet.
        QSet<QString> declared;
        for (const QString& alternatives : Capture("dpkg-deb", {"-f", deb, "Depends"}).split(','))
            for (const QString& dependency : alternatives.split('|'))
                declared << dependency.trimmed().section(' ', 0, 0);
        for (const QString program : {"usr/bin/tarvo", "usr/bin/tarvo-cli"}) {
            const QString path = unpacked.filePath(program);
            const QString dynamic = Capture("readelf", {"-d", path});
            const QString loaded = Capture("ldd", {path});
            const QRegularExpression needed(QStringLiteral("\\(NEEDED\\).*\\[(.+)\\]"));
            for (const QRegularExpressionMatch& match : needed.globalMatch(dynamic)) {
                const QString package = PackageOfLibrary(match.captured(1), loaded);
                QVERIFY2(!package.isEmpty(), qPrintable(match.captured(1)));
                QVERIFY2(declared.contains(package),
                         qPrintable(program + " needs " + package + ", not in Depends"));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
