#include "support/XSession.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>
#include <QUrl>

#include <csignal>

namespace {

QString ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

XSession::XSession() {
    for (const char* tool : {"xvfb-run", "xdotool", "xprop"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            m_unavailable = QStringLiteral("%1 is not installed").arg(QLatin1String(tool));
            return;
        }
    }
    if (!m_directory.isValid()) {
        m_unavailable = QStringLiteral("no temporary directory");
        return;
    }

    // The stand-in file browser.
    const QString standIns = m_directory.filePath("bin");
    QDir().mkpath(standIns);
    QFile opener(standIns + "/xdg-open");
    opener.open(QIODevice::WriteOnly);
    opener.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" +
                 QFile::encodeName(m_directory.filePath("opened.txt")) + "'\n");
    opener.close();
    opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // A display freshly handed out can still belong to a server that is going away, or be
    // taken by another run at the same moment; a session that does not answer is tried anew.
    for (int attempt = 1; attempt <= 3; ++attempt) {
        if (StartServer(standIns) && Xdotool({"getdisplaygeometry"}) == 0) {
            m_unavailable.clear();
            return;
        }
        StopServer();
    }
    if (m_unavailable.isEmpty())
        m_unavailable = QStringLiteral("the virtual X server does not answer");
}

bool XSession::StartServer(const QString& standIns) {
    // xvfb-run picks a free display and its own authority file; the command it runs reports
    // both, then holds the server up until it is ended.
    const QString info = m_directory.filePath("display.txt");
    QFile::remove(info);
    // Its output is read only when it fails: its shell reports the holder's end as well.
    // The search for a free display starts away from the usual :99, where other runs on the
    // machine look first. Without -noreset the server starts afresh each time its last client
    // leaves, and refuses a program that connects in that moment.
    const QString firstDisplay = QString::number(200 + QRandomGenerator::global()->bounded(3000));
    m_server.start(QStringLiteral("xvfb-run"),
                   {"-a", "-n", firstDisplay, "-s", "-screen 0 1280x1024x24 -noreset", "sh", "-c",
                    "printf '%s\\n%s\\n%s\\n' \"$DISPLAY\" \"$XAUTHORITY\" \"$$\" > \"$1.part\" "
                    "&& mv \"$1.part\" \"$1\" && exec sleep 600",
                    "sh", info});
    if (!m_server.waitForStarted() ||
        !QTest::qWaitFor([&] { return QFile::exists(info); }, 30000)) {
        m_unavailable = QStringLiteral("the virtual X server did not start: ") +
                        QString::fromLocal8Bit(m_server.readAllStandardError());
        return false;
    }
    const QStringList lines = ReadFile(info).split('\n');
    m_display = lines.value(0);
    m_authority = lines.value(1);
    m_holderPid = lines.value(2).toLongLong();

    m_environment = QProcessEnvironment::systemEnvironment();
    m_environment.insert("DISPLAY", lines.value(0));
    m_environment.insert("XAUTHORITY", lines.value(1));
    m_environment.insert("QT_QPA_PLATFORM", "xcb");
    m_environment.insert("PATH", standIns + ':' + m_environment.value("PATH"));
    // Settings the file dialogs keep stay in the session, and no desktop is guessed at.
    m_environment.insert("XDG_CONFIG_HOME", m_directory.filePath("config"));
    for (const char* desktop :
         {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID"})
        m_environment.remove(QString::fromLatin1(desktop));
    return true;
}

XSession::~XSession() {
    for (auto& program : m_programs) {
        if (program->state() != QProcess::NotRunning) {
            program->kill();
            program->waitForFinished();
        }
    }
    StopServer();
}

void XSession::StopServer() {
    if (m_holderPid > 0)
        ::kill(static_cast<pid_t>(m_holderPid), SIGTERM);
    m_holderPid = 0;
    if (m_server.state() != QProcess::NotRunning && !m_server.waitForFinished(20000)) {
        m_server.kill();
        m_server.waitForFinished();
    }
    // xvfb-run does not wait for the server it ends; the next session must not be handed a
    // display that is still going away. Should xvfb-run have been cut short before it ended
    // the server, the server named in the display's lock file is ended here, but only if it is
    // the one this session started.
    const QString number = m_display.mid(m_display.indexOf(':') + 1).section('.', 0, 0);
    m_display.clear();
    if (number.isEmpty())
        return;
    const QString lock = QStringLiteral("/tmp/.X%1-lock").arg(number);
    const auto gone = [&] { return !QFile::exists(lock); };
    if (QTest::qWaitFor(gone, 5000))
        return;
    const qint64 serverPid = ReadFile(lock).trimmed().toLongLong();
    const QStringList command =
        ReadFile(QStringLiteral("/proc/%1/cmdline").arg(serverPid)).split(QChar(0));
    if (serverPid > 0 && command.value(0).endsWith("Xvfb") && command.contains(':' + number) &&
        command.contains(m_authority))
        ::kill(static_cast<pid_t>(serverPid), SIGTERM);
    if (!QTest::qWaitFor(gone, 15000))
        qWarning("the virtual X server on :%s did not end", qPrintable(number));
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
    if (!xdotool.waitForFinished(20000)) {
        xdotool.kill();
        xdotool.waitForFinished();
        return -1;
    }
    if (output)
        *output = QString::fromUtf8(xdotool.readAllStandardOutput()).trimmed();
    return xdotool.exitStatus() == QProcess::NormalExit ? xdotool.exitCode() : -1;
}

QString XSession::WaitForWindow(const QString& titlePattern, int timeoutMs) {
    QString found;
    const bool shown = QTest::qWaitFor(
        [&] {
            return Xdotool({"search", "--onlyvisible", "--name", titlePattern}, &found) == 0 &&
                   !found.isEmpty();
        },
        timeoutMs);
    // Only the first: a toolkit may add helper windows, but they are not visible.
    return shown ? found.section('\n', 0, 0) : QString();
}

bool XSession::WaitForNoWindow(const QString& titlePattern, int timeoutMs) {
    return QTest::qWaitFor(
        [&] {
            QString found;
            return Xdotool({"search", "--onlyvisible", "--name", titlePattern}, &found) != 0 ||
                   found.isEmpty();
        },
        timeoutMs);
}

QStringList XSession::VisibleTitles() const {
    QString titles;
    Xdotool({"search", "--onlyvisible", "--name", ".", "getwindowname", "%@"}, &titles);
    return titles.split('\n', Qt::SkipEmptyParts);
}

bool XSession::Focus(const QString& windowId) {
    return Xdotool({"windowfocus", "--sync", windowId}) == 0;
}

bool XSession::Keys(const QStringList& keys) {
    return Xdotool(QStringList{"key"} + keys) == 0;
}

bool XSession::Type(const QString& text) {
    return Xdotool({"type", "--", text}) == 0;
}

QStringList XSession::Opened() const {
    QStringList opened;
    for (const QString& line : ReadFile(m_directory.filePath("opened.txt")).split('\n')) {
        if (line.isEmpty())
            continue;
        const QUrl url(line);
        opened << (url.isLocalFile() ? url.toLocalFile() : line);
    }
    return opened;
}
