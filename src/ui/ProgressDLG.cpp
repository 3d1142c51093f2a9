#include "ui/ProgressDLG.h"

#include "ui_ProgressDLG.h"

#include "archive/UnzipWorker.h"
#include "archive/ZipWorker.h"
#include "operation/ThreadStart.h"
#include "ui/DialogUnits.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QKeyEvent>

ProgressDLG::ProgressDLG(QString path, DirectOperation operation, QWidget* parent)
    : ReportingDialog(parent), m_path(std::move(path)), m_operation(operation),
      m_ui(new Ui::ProgressDLG) {
    m_ui->setupUi(this);
    ApplyDialogUnits(this);
    // Stays above other windows; no buttons but the title bar's own.
    setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
}

ProgressDLG::~ProgressDLG() = default;

// Enter ends the window as Esc does: it has no button that Enter could press instead. Mid-run
// the run is stopped and taken back first, as when the window is closed.
void ProgressDLG::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            reject();
            return;
        }
    }
    ReportingDialog::keyPressEvent(event);
}

void ProgressDLG::OnInitDialog() {
    OperationState& state = OperationState::Instance();
    state.directMode = true;
    state.selectedPath = m_path;
    const bool zip = m_operation == DirectOperation::Zip;
    state.unzipSelected = !zip;
    state.zipSelected = zip;
    // A link to a folder is packed as the folder, as the folder picker would give it.
    state.zipFolder = zip && QFileInfo(m_path).isDir();
    state.reportWindow.Set(Report());
    // Raised before the worker starts, as the main window's start commands do, so that Esc
    // right away still waits for the run to stop; a refused path clears it again.
    state.busy = true;
    BeginThread(zip ? ZipWorker : UnzipWorker, &state);
}

QProgressBar* ProgressDLG::ProgressBar() const {
    return m_ui->m_progress;
}

// busy stays raised in this mode; the worker's report of its end is what says it is done.
bool ProgressDLG::RunGoing() const {
    return OperationState::Instance().busy && !m_finished;
}

void ProgressDLG::OnOperationFinished() {
    m_finished = true;
    // After a failure the worker still has its message to show; it ends the process itself.
    if (!OperationState::Instance().failed)
        QCoreApplication::exit(0);
}
