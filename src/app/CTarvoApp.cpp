#include "app/CTarvoApp.h"

#include "ui/CTarvoDlg.h"
#include "ui/ProgressDLG.h"

#include <QDir>

CTarvoApp::CTarvoApp(int& argc, char** argv) : m_application(argc, argv) {
    QCoreApplication::setOrganizationName(QStringLiteral("Kestrin Utilities"));
    QCoreApplication::setApplicationName(QStringLiteral("Tarvo"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0.1"));
    // A launcher hands the path over without its quotes; only blanks around it are dropped.
    // A relative path means the folder Tarvo was started from, so it is resolved before the
    // current directory moves.
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1) {
        m_directMode = true;
        const QString path = arguments.at(1).trimmed();
        m_archivePath = path.isEmpty() ? QString() : QDir::current().absoluteFilePath(path);
    }
}

int CTarvoApp::InitInstance() {
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    if (m_directMode) {
        ProgressDLG window;
        window.m_path = m_archivePath;
        window.exec();
    } else {
        CTarvoDlg window;
        window.exec();
    }
    // Both modes end with code 0, also when the direct mode reported a failure.
    return 0;
}
