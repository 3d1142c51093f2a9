#pragma once

#include "ui/ProgressDLG.h"

#include <QApplication>

// Prepares the process and runs the one window of the launch mode: the main window without an
// argument, the progress window of the direct mode with a path, which unpacks the archive or
// packs the file or folder it names.
class CTarvoApp {
public:
    // pathArgument is the path named on the command line, as given, or null.
    CTarvoApp(int& argc, char** argv, const char* pathArgument,
              DirectOperation operation = DirectOperation::Unzip);

    // Runs the window of the mode and returns the process's exit code.
    int InitInstance();

private:
    QApplication m_application;
    QString m_path;    // the direct mode's archive, or file or folder to pack
    QString m_refusal; // why the direct mode's path cannot be used; empty when it can
    bool m_directMode = false;
    DirectOperation m_operation;
};
