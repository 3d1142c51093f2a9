#pragma once

#include "operation/ReportTarget.h"

#include <QDialog>

#include <memory>

class QProgressBar;
class WindowReport;

// A window that runs operations: it receives the worker's and the ticker's reports as posted
// events, moves its progress bar, shows the worker's messages, and opens result folders, all on
// the UI thread.
class ReportingDialog : public QDialog {
    Q_OBJECT
public:
    explicit ReportingDialog(QWidget* parent = nullptr);
    ~ReportingDialog() override;

    // The handle to give the workers. Reports sent after the window is gone are dropped, and a
    // worker waiting on a message box it can no longer show goes on.
    std::shared_ptr<ReportTarget> Report() const;

protected:
    // Runs once, as the window is first shown.
    virtual void OnInitDialog() = 0;
    // The bar the progress reports move.
    virtual QProgressBar* ProgressBar() const = 0;
    virtual void OnOperationFinished() = 0;

    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void OnProgressStep();
    void OnProgressReset();

    std::shared_ptr<WindowReport> m_report;
    bool m_initialised = false;
};
