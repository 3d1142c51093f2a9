#include "ui/SiblingProgram.h"

#include <QCoreApplication>
#include <QProcess>

namespace SiblingProgram {
namespace {

bool StartDetached(const QString& program, const QString& workingDirectory) {
    return QProcess::startDetached(program, {}, workingDirectory);
}

Launcher& CurrentLauncher() {
    static Launcher launcher = StartDetached;
    return launcher;
}

} // namespace

QString Path() {
#ifdef Q_OS_WIN
    const QString name = QStringLiteral("quenlo.exe");
#else
    const QString name = QStringLiteral("quenlo");
#endif
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
}

void SetLauncher(Launcher launcher) {
    CurrentLauncher() = launcher ? std::move(launcher) : Launcher(StartDetached);
}

bool Start() {
    return CurrentLauncher()(Path(), QCoreApplication::applicationDirPath());
}

} // namespace SiblingProgram
