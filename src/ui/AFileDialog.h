#pragma once

#include <QFileDialog>

// The picker for one file to unzip or to zip. It is Qt's own widget dialog rather than the
// desktop's, so it looks and behaves the same everywhere and can be driven by tests. A typed
// name is accepted even when no such file exists: the operation then reports it.
class AFileDialog : public QFileDialog {
    Q_OBJECT
public:
    // zipFilter lists only "*.zip" files; otherwise all files are listed.
    AFileDialog(QWidget* parent, bool zipFilter);
};
