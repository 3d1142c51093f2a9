#pragma once

#include "ui/ReportingDialog.h"

#include <QString>

#include <memory>

namespace Ui {
class ProgressDLG;
}

// The one window of the direct mode: it unpacks the archive at path as soon as it is shown,
// follows the worker's progress and ends the process when the worker reports success.
class ProgressDLG : public ReportingDialog {
    Q_OBJECT
public:
    explicit ProgressDLG(QString path, QWidget* parent = nullptr);
    ~ProgressDLG() override;

protected:
    void OnInitDialog() override;
    void keyPressEvent(QKeyEvent* event) override;
    QProgressBar* ProgressBar() const override;
    bool RunGoing() const override;
    void OnOperationFinished() override;

private:
    const QString m_path; // the archive to unpack
    std::unique_ptr<Ui::ProgressDLG> m_ui;
    bool m_finished = false; // the worker has reported its end
};
