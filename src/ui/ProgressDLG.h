#pragma once

#include "ui/ReportingDialog.h"

#include <QString>

#include <memory>

namespace Ui {
class ProgressDLG;
}

// What the direct mode does with its path.
enum class DirectOperation {
    Unzip, // unpack the archive into a folder beside it
    Zip,   // pack the file or folder into an archive beside it
};

// The one window of the direct mode: it unpacks the archive at path, or packs the file or folder
// there, as soon as it is shown, follows the worker's progress and ends the process when the
// worker reports success.
class ProgressDLG : public ReportingDialog {
    Q_OBJECT
public:
    explicit ProgressDLG(QString path, DirectOperation operation = DirectOperation::Unzip,
                         QWidget* parent = nullptr);
    ~ProgressDLG() override;

protected:
    void OnInitDialog() override;
    void keyPressEvent(QKeyEvent* event) override;
    QProgressBar* ProgressBar() const override;
    bool RunGoing() const override;
    void OnOperationFinished() override;

private:
    const QString m_path; // the archive to unpack, or the file or folder to pack
    const DirectOperation m_operation;
    std::unique_ptr<Ui::ProgressDLG> m_ui;
    bool m_finished = false; // the worker has reported its end
};
