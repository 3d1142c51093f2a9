#include "support/XSession.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTest>
#include <QUrl>

XSession::XSession() {
    for (const char* tool : {"Xvfb", "xdotool", "xprop"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            m_unavailable = QStringLiteral("%1 is not installed").arg(QLatin1String(tool));
            return;
        }
    }
    const QString standIns = m_directory.filePath("bin");
    QDir().mkpath(standIns);
    QFile opener(standIns + "/xdg-open");
    opener.open(QIODevice::WriteOnly);
    opener.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" +
                 QFile::encodeName(m_directory.filePath("opened.txt")) + "'\n");
    opener.close();
    opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // The server takes the first free display itself and writes its number when it is ready.
    // Without -noreset it starts afresh each time its last client leaves, and refuses a program
    // that connects in that moment.
    m_server.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1280x1024x24",
                                            "-nolisten", "tcp", "-noreset"});
    m_server.waitForStarted();
    const bool answered = QTest::qWaitFor(
        [&] { return m_server.canReadLine() || m_server.state() == QProcess::NotRunning; }, 30000);
    const QString display = QString::fromLatin1(m_server.readLine()).trimmed();
    if (!answered || display.isEmpty()) {
        m_unavailable = QStringLiteral("the virtual X server did not start");
        return;
    }
    m_environment = QProcessEnvironment::systemEnvironment();
    m_environment.insert("DISPLAY", ':' + display);
    m_environment.remove("XAUTHORITY");
    m_environment.insert("QT_QPA_PLATFORM", "xcb");
    m_environment.insert("PATH", standIns + ':' + m_environment.value("PATH"));
    // Settings the file dialogs keep stay in the session, and no desktop is guessed at.
    m_environment.insert("XDG_CONFIG_HOME", m_directory.filePath("config"));
    for (const char* desktop : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION"})
        m_environment.remove(QString::fromLatin1(desktop));
}

XSession::~XSession() {
    m_programs.clear(); // QProcess kills what still runs
    m_server.terminate();
    if (!m_server.waitForFinished(10000))
        m_server.kill();
}

QProcess* XSession::Launch(const QString& program, const QStringList& arguments,
                           const QString& workingDirectory) {
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(m_environment);
    process->setWorkingDirectory(workingDirectory);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(program, arguments);
    process->waitForStarted();
    m_programs.push_back(std::move(process));
    return m_programs.back().get();
}

QString XSession::WindowProperty(const QString& windowId, const QString& property) const {
    QProcess xprop;
    xprop.setProcessEnvironment(m_environment);
    xprop.start(QStringLiteral("xprop"), {"-id", windowId, property});
    if (!xprop.waitForFinished(20000)) {
        xprop.kill();
        xprop.waitForFinished();
        return {};
    }
    return QString::fromUtf8(xprop.readAllStandardOutput());
}

int XSession::Xdotool(const QStringList& arguments, QString* output) const {
    QProcess xdotool;
    xdotool.setProcessEnvironment(m_environment);
    xdotool.start(QStringLiteral("xdotool"), arguments);
    if (!xdotool.waitForFinished(20000))
        return -1; // the destructor kills it
    if (output)
        *output = QString::fromUtf8(xdotool.readAllStandardOutput()).trimmed();
    return xdotool.exitStatus() == QProcess::NormalExit ? xdotool.exitCode() : -1;
}

QString XSession::WaitForWindow(const QString& titlePattern, int timeoutMs) {
    QString found;
    const bool shown = QTest::qWaitFor(
        [&] {
            return Xdotool({"search", "--onlyvisible", "--name", titlePattern}, &found) == 0;
        },
        timeoutMs);
    return shown ? found.section('\n', 0, 0) : QString();
}

bool XSession::WaitForNoWindow(const QString& titlePattern, int timeoutMs) {
    return QTest::qWaitFor(
        [&] {
            return Xdotool({"search", "--onlyvisible", "--name", titlePattern}) != 0;
        },
        timeoutMs);
}

bool XSession::Keys(const QString& windowId, const QStringList& keys) {
    return Xdotool({"windowfocus", "--sync", windowId}) == 0 &&
           Xdotool(QStringList{"key"} + keys) == 0;
}

bool XSession::Type(const QString& windowId, const QString& text) {
    return Xdotool({"windowfocus", "--sync", windowId}) == 0 && Xdotool({"type", "--", text}) == 0;
}

QStringList XSession::Opened() const {
    QFile file(m_directory.filePath("opened.txt"));
    QStringList opened;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QString& line :
             QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)) {
            const QUrl url(line);
            opened << (url.isLocalFile() ? url.toLocalFile() : line);
        }
    }
    return opened;
}
