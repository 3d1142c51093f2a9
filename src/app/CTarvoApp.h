#pragma once

#include <QApplication>

// Prepares the process and runs the one window of the launch mode: the main window without an
// argument, the progress window of the direct mode with an archive path.
class CTarvoApp {
public:
    // archiveArgument is the archive named on the command line, as given, or null.
    CTarvoApp(int& argc, char** argv, const char* archiveArgument);

    // Runs the window of the mode and returns the process's exit code.
    int InitInstance();

private:
    QApplication m_application;
    QString m_archivePath; // empty in the interactive mode
    QString m_refusal;     // why the direct mode's path cannot be used; empty when it can
    bool m_directMode = false;
};
