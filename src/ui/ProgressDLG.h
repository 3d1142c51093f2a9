#pragma once

#include "ui/ReportingDialog.h"

#include <QString>

#include <memory>

namespace Ui {
class ProgressDLG;
}

// The one window of the direct mode: it unpacks the archive at m_path as soon as it is shown,
// follows the worker's progress and ends the process when the worker reports success.
class ProgressDLG : public ReportingDialog {
    Q_OBJECT
public:
    explicit ProgressDLG(QWidget* parent = nullptr);
    ~ProgressDLG() override;

    QString m_path; // the archive to unpack, set before the window runs

protected:
    void showEvent(QShowEvent* event) override;
    void OnProgressStep() override;
    void OnOperationFinished() override;
    void OnProgressReset() override;

private:
    void OnInitDialog();

    std::unique_ptr<Ui::ProgressDLG> m_ui;
    bool m_started = false;
};
