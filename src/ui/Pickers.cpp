// The two pickers of the main window's selection commands.

#include "ui/AFileDialog.h"
#include "ui/CTarvoDlg.h"
#include "ui/OkBox.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

// The folder a picker opens in: the one remembered, while it still exists, else home.
QString StartFolder(const QString& remembered) {
    if (!remembered.isEmpty() && QFileInfo(remembered).isDir())
        return remembered;
    return QDir::homePath();
}

} // namespace

QString CTarvoDlg::PickFile(bool zipFilter) {
    AFileDialog dialog(this, zipFilter);
    dialog.setDirectory(StartFolder(m_pickFolder));
    QString path;
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        path = dialog.selectedFiles().constFirst();
    if (path.isEmpty()) {
        ShowOkBox(this, QCoreApplication::applicationName(), QStringLiteral("No File Selected!"));
        return {};
    }
    m_pickFolder = QFileInfo(path).absolutePath();
    // As a desktop file dialog would, the picker leaves the process in the chosen file's
    // folder.
    QDir::setCurrent(m_pickFolder);
    return path;
}

QString CTarvoDlg::PickFolder() {
    QFileDialog dialog(QApplication::activeWindow(),
                       QStringLiteral("Select a folder and click on the OK button below"));
    dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("OK"));
    dialog.setDirectory(StartFolder(m_pickFolder));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    QString chosen = dialog.selectedFiles().constFirst();
    // Blanks around a path are dropped, but not from a folder that really has them at the end
    // of its name: trimming that would name another folder, or none.
    if (!QFileInfo(chosen).isDir())
        chosen = chosen.trimmed();
    m_pickFolder = QFileInfo(QDir::cleanPath(chosen)).absolutePath();
    return chosen;
}
