// Installs the build tree into a fresh prefix, as `make install` does, and checks what lands
// there with the tools a desktop and a package archive would apply to it. Also builds the
// Debian package and looks inside.

#include "support/TestTree.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString AppId = QStringLiteral(TARVO_APP_ID);
const QString Version = QStringLiteral(TARVO_VERSION);

QStringList FilesBelow(const QString& root) {
    QStringList files;
    for (const auto& [path, entry] : TestTree::Snapshot(root, false).asKeyValueRange())
        if (!entry.startsWith('d'))
            files << path;
    return files;
}

QString Capture(const QString& program, const QStringList& arguments, int* exitCode = nullptr) {
    QString output;
    const int code = TestTree::Run(program, arguments, {}, &output, 300000);
    if (exitCode)
        *exitCode = code;
    return output;
}

// Skips the test when one of the tools is not installed.
#define REQUIRE_TOOLS(...)                                                                         \
    for (const char* tool : {__VA_ARGS__})                                                         \
        if (QStandardPaths::findExecutable(tool).isEmpty())                                        \
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));

// The Debian package that ships a shared library, found through the loader's view of a
// program. Debian 12 records some libraries under /lib, others under /usr/lib.
QString PackageOfLibrary(const QString& soname, const QString& lddOutput) {
    const QRegularExpression line("^\\s*(?:" + QRegularExpression::escape(soname) + " => )?(\\S*/" +
                                      QRegularExpression::escape(soname) + ") ",
                                  QRegularExpression::MultilineOption);
    const QString loaded = line.match(lddOutput).captured(1);
    const QString real = QFileInfo(loaded).canonicalFilePath();
    const QString other = real.startsWith("/usr/") ? real.mid(4) : "/usr" + real;
    for (const QString& candidate : {loaded, real, other}) {
        int code = 0;
        const QString owner = Capture("dpkg", {"-S", candidate}, &code);
        if (!loaded.isEmpty() && code == 0)
            return owner.section(':', 0, 0).trimmed();
    }
    return {};
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
        int code = 0;
        const QString output = Capture(
            CMAKE_COMMAND, {"--install", TARVO_BUILD_DIR, "--prefix", m_prefix.path()}, &code);
        QVERIFY2(code == 0, qPrintable(output));
    }

    // The programs run from the prefix alone, not leaning on the build tree.
    void theInstalledProgramsStandAlone() {
        QVERIFY(Capture(Installed("bin/tarvo-cli"), {"--help"}).startsWith("Usage: tarvo-cli"));
        QVERIFY(QFileInfo(Installed("bin/tarvo")).isExecutable());
        for (const char* file :
             {"doc/tarvo/copyright", "man/man1/tarvo.1.gz", "man/man1/tarvo-cli.1.gz"})
            QVERIFY2(QFileInfo::exists(Installed("share/") + file), file);
        REQUIRE_TOOLS("readelf");
        for (const QString& program : {Installed("bin/tarvo"), Installed("bin/tarvo-cli")})
            QVERIFY(!Capture("readelf", {"-d", program}).contains(TARVO_BUILD_DIR));
    }

    // The desktop takes one file at a time, the way the direct mode takes it, and finds the icon.
    void theDesktopFilesValidate() {
        const QString entry = Installed("share/applications/" + AppId + ".desktop");
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY(text.contains("\nExec=tarvo %f\n"));
        const QString icon = QRegularExpression("\nIcon=(.*)\n").match(text).captured(1);
        QVERIFY(QFileInfo::exists(Installed("share/icons/hicolor/scalable/apps/" + icon + ".svg")));
        QVERIFY(QFileInfo::exists(Installed("share/icons/hicolor/128x128/apps/" + icon + ".png")));
        REQUIRE_TOOLS("desktop-file-validate", "appstreamcli");
        int code = 0;
        QString output = Capture("desktop-file-validate", {entry}, &code);
        QVERIFY2(code == 0 && output.trimmed().isEmpty(), qPrintable(output));
        const QString metainfo = Installed("share/metainfo/" + AppId + ".metainfo.xml");
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
            {"vcpkg.json", "\"version\": \"" + dotted + "\""},
            {"docs/tarvo-cli.1", "\"Tarvo " + dotted + "\""},
            {"docs/tarvo.1", "\"Tarvo " + dotted + "\""},
            {"share/metainfo/" + AppId + ".metainfo.xml",
             "<releases>\\s*<release version=\"" + dotted + "\""}};
        for (const auto& [file, pattern] : places) {
            QFile source(file.startsWith("share/") ? Installed(file) : TARVO_SOURCE_DIR "/" + file);
            QVERIFY2(source.open(QIODevice::ReadOnly), qPrintable(file));
            QVERIFY2(QString::fromUtf8(source.readAll()).contains(QRegularExpression(pattern)),
                     qPrintable(file + ": " + pattern));
        }
    }

    // The package holds what a plain installation does, under /usr, and declares every library
    // the programs load directly, so it installs whole on a machine that has none of them yet.
    void theDebianPackageIsWhole() {
        REQUIRE_TOOLS("dpkg-deb", "dpkg-shlibdeps", "dpkg", "readelf", "ldd", "file");
        QTemporaryDir out;
        int code = 0;
        const QString output = Capture(
            CPACK_COMMAND,
            {"--config", TARVO_BUILD_DIR "/CPackConfig.cmake", "-G", "DEB", "-B", out.path()},
            &code);
        QVERIFY2(code == 0, qPrintable(output));
        const QString deb = out.filePath(QStringLiteral("tarvo_%1_amd64.deb").arg(Version));
        QTemporaryDir unpacked;
        QCOMPARE(TestTree::Run("dpkg-deb", {"-x", deb, unpacked.path()}), 0);
        QCOMPARE(FilesBelow(unpacked.filePath("usr")), FilesBelow(m_prefix.path()));
        QSet<QString> declared;
        for (const QString& alternatives : Capture("dpkg-deb", {"-f", deb, "Depends"}).split(','))
            for (const QString& dependency : alternatives.split('|'))
                declared << dependency.trimmed().section(' ', 0, 0);
        for (const QString program : {"usr/bin/tarvo", "usr/bin/tarvo-cli"}) {
            const QString path = unpacked.filePath(program);
            const QString loaded = Capture("ldd", {path});
            const QRegularExpression needed("\\(NEEDED\\).*\\[(.+)\\]");
            for (const auto& match : needed.globalMatch(Capture("readelf", {"-d", path}))) {
                const QString package = PackageOfLibrary(match.captured(1), loaded);
                QVERIFY2(declared.contains(package) && !package.isEmpty(),
                         qPrintable(program + " needs " + match.captured(1) + ", not in Depends"));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "tst_install.moc"
