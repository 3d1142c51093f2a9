#include "app/CTarvoApp.h"

#include "archive/Messages.h"
#include "archive/PathRefusal.h"
#include "archive/ResolvedPath.h"
#include "ui/CTarvoDlg.h"
#include "ui/OkBox.h"
#include "ui/ProgressDLG.h"

#include <QDir>

#ifdef Q_OS_WIN
#include "app/CommandLine.h"

#include <cstdlib>
#include <windows.h>
#endif

CTarvoApp::CTarvoApp(int& argc, char** argv, const char* pathArgument, DirectOperation operation)
    : m_application(argc, argv), m_operation(operation) {
    QCoreApplication::setOrganizationName(QStringLiteral("Kestrin Utilities"));
    QCoreApplication::setApplicationName(QStringLiteral("Tarvo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARVO_VERSION));
    // Lets the desktop match the windows to the installed desktop entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(TARVO_APP_ID));
    // A relative path means the folder Tarvo was started from, so it is resolved before the
    // current directory moves.
#ifdef Q_OS_WIN
    // Explorer passes the path in quotes on the one command-line string; it is read from there,
    // not from the runtime's split, which treats quotes and backslashes its own way. The runtime's
    // count (__argc, before Qt takes its own options out) still decides the mode.
    if (__argc > 1) {
        m_directMode = true;
        const QString path = QDir::fromNativeSeparators(CleanDirectModePath(
            CommandLineRemainder(QString::fromWCharArray(::GetCommandLineW()))));
        m_path = ResolvedPath(path, QDir::currentPath());
    }
#else
    // A launcher hands the path over without its quotes, as the exact bytes of the name.
    if (pathArgument) {
        m_directMode = true;
        try {
            m_path = ArgumentPath(pathArgument);
        } catch (const PathRefusal& refusal) {
            m_refusal = QString::fromUtf8(refusal.what());
        }
    }
#endif
}

int CTarvoApp::InitInstance() {
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    if (!m_refusal.isEmpty()) {
        ShowOkBox(nullptr,
                  m_operation == DirectOperation::Zip ? Messages::Zipper : Messages::Unzipper,
                  m_refusal);
    } else if (m_directMode) {
        ProgressDLG window(m_path, m_operation);
        window.exec();
    } else {
        CTarvoDlg window;
        window.exec();
    }
    // Every mode ends with code 0, also when the direct mode reported a failure.
    return 0;
}
