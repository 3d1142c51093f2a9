// The two pickers of the main window's selection commands.

#include "ui/AFileDialog.h"
#include "ui/CTarvoDlg.h"
#include "ui/OkBox.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QString CTarvoDlg::PickFile(QWidget* owner, bool zipFilter) {
    AFileDialog dialog(owner, zipFilter);
    QString path;
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        path = dialog.selectedFiles().constFirst();
    if (path.isEmpty()) {
        ShowOkBox(owner, QCoreApplication::applicationName(), QStringLiteral("No File Selected!"));
        return {};
    }
    // As a desktop file dialog would, the picker leaves the process in the chosen file's
    // folder.
    QDir::setCurrent(QFileInfo(path).absolutePath());
    return path;
}

QString CTarvoDlg::PickFolder() {
    QFileDialog dialog(QApplication::activeWindow(),
                       QStringLiteral("Select a folder and click on the OK button below"));
    dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("OK"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    const QString chosen = dialog.selectedFiles().constFirst();
    // Blanks around a path are dropped, but not from a folder that really has them at the end
    // of its name: trimming that would name another folder, or none.
    if (QFileInfo(chosen).isDir())
        return chosen;
    return chosen.trimmed();
}
