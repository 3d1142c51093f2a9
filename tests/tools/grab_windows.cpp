// Writes pictures of the two windows for the documentation:
//   grab_windows <directory>  ->  main-window.png, progress-window.png
// Run it on the offscreen platform (QT_QPA_PLATFORM=offscreen); nothing is unpacked.

#include "ui/CTarvoDlg.h"
#include "ui/ProgressDLG.h"

#include <QApplication>
#include <QDir>
#include <QProgressBar>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: grab_windows <directory>\n");
        return 2;
    }
    const QDir directory(QString::fromLocal8Bit(argv[1]));

    CTarvoDlg main;
    main.show();
    const bool mainSaved = main.grab().save(directory.filePath("main-window.png"));

    // Grabbed without being shown: showing it would start unpacking.
    ProgressDLG progress({});
    progress.findChild<QProgressBar*>("m_progress")->setValue(45);
    const bool progressSaved = progress.grab().save(directory.filePath("progress-window.png"));

    return mainSaved && progressSaved ? 0 : 1;
}
