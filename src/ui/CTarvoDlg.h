#pragma once

#include "operation/ThreadStart.h"
#include "ui/ReportingDialog.h"

#include <QString>

#include <memory>

namespace Ui {
class CTarvoDlg;
}
class AStatic;

// The interactive window: the user picks an archive to unpack, or a file or folder to pack,
// starts the operation and follows it on the bar. One selection is held at a time, in
// OperationState, and it is forgotten once an operation has ended. No button is ever disabled:
// while an operation runs, every command is refused with a message instead.
class CTarvoDlg : public ReportingDialog {
    Q_OBJECT
public:
    explicit CTarvoDlg(QWidget* parent = nullptr);
    ~CTarvoDlg() override;

    // Replaces the status label by a new one: red text when warning is non-zero, else green.
    void ShowStatus(QString text, int warning);

    // Back to nothing selected, once an operation has ended. Clears busy last.
    void ResetSelection();

    // The file picker: the chosen path, or empty after a cancel, which is also told to the
    // user in a box owned by this window. The chosen file's folder becomes the current
    // directory.
    QString PickFile(bool zipFilter);

    // The folder picker: the chosen folder, or empty when none was chosen.
    QString PickFolder();

protected:
    void OnInitDialog() override;
    QProgressBar* ProgressBar() const override;
    void OnOperationFinished() override;

private:
    void OnAbout();
    void OnMore();

    void OnSelectUnzipFile();
    void OnUnzip();
    void OnSelectZipFile();
    void OnSelectZipFolder();
    void OnZip();

    // True, after telling the user, while an operation runs.
    bool RefuseWhileBusy(const QString& caption);
    enum class Picked { Archive, File, Folder };
    // Takes what a picker chose as the selection; nothing chosen selects nothing.
    void Select(Picked kind, const QString& chosen);
    void SelectNothing();
    QPoint StatusCorner() const;
    void StartWorker(ThreadProcedure worker);

    std::unique_ptr<Ui::CTarvoDlg> m_ui;
    AStatic* m_pStatus = nullptr; // the status label shown now; owned as a child widget
    // Where the pickers open: the user's home folder at first, then the folder that holds
    // whatever either picker chose last.
    QString m_pickFolder;
};
