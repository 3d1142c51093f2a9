#pragma once

#include "operation/ReportTarget.h"

#include <QDialog>

#include <memory>
#include <optional>

class QProgressBar;
class WindowReport;

// A window that runs operations: it receives the worker's and the ticker's reports as posted
// events, moves its progress bar, shows the worker's messages, asks for an archive's password,
// and opens result folders, all on the UI thread.
class ReportingDialog : public QDialog {
    Q_OBJECT
public:
    explicit ReportingDialog(QWidget* parent = nullptr);
    ~ReportingDialog() override;

    // The handle to give the workers. Reports sent after the window is gone are dropped, and a
    // worker waiting on a message box it can no longer show goes on.
    std::shared_ptr<ReportTarget> Report() const;

    // Esc, the close box, and Enter where it closes the window. While an operation runs, the
    // window asks it to stop and stays until the worker has taken back what it wrote; then it
    // closes.
    void reject() override;

protected:
    // Runs once, as the window is first shown.
    virtual void OnInitDialog() = 0;
    // The bar the progress reports move.
    virtual QProgressBar* ProgressBar() const = 0;
    // Whether the worker may still write: from the start command until it reports the end.
    virtual bool RunGoing() const;
    virtual void OnOperationFinished() = 0;

    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void OnProgressStep();
    void OnProgressReset();
    // Stops the operation if one runs, and once it has stopped closes the window, or ends the
    // process with exitCode when one is given (a stop signal).
    void StopRunThenEnd(std::optional<int> exitCode);
    void EndNow();

    std::shared_ptr<WindowReport> m_report;
    bool m_initialised = false;
    bool m_stopping = false; // the run was asked to stop; its end closes the window
    std::optional<int> m_exitCode;
    QDialog* m_openBox = nullptr; // a worker's message or question shown now
};
