#include "ui/ProgressDLG.h"

#include "ui_ProgressDLG.h"

#include "archive/UnzipWorker.h"
#include "operation/ProgressProtocol.h"
#include "operation/ThreadStart.h"
#include "ui/DialogUnits.h"

#include <QCoreApplication>
#include <QIcon>

ProgressDLG::ProgressDLG(QWidget* parent) : ReportingDialog(parent), m_ui(new Ui::ProgressDLG) {
    m_ui->setupUi(this);
    ApplyDialogUnits(this);
    setWindowIcon(QIcon(QStringLiteral(":/icons/tarvo.png")));
    // Stays above other windows; no buttons but the title bar's own.
    setWindowFlags(Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
}

ProgressDLG::~ProgressDLG() = default;

void ProgressDLG::showEvent(QShowEvent* event) {
    ReportingDialog::showEvent(event);
    if (!m_started) {
        m_started = true;
        OnInitDialog();
    }
}

void ProgressDLG::OnInitDialog() {
    OperationState& state = OperationState::Instance();
    state.directMode = true;
    state.selectedPath = m_path;
    state.unzipSelected = true;
    state.reportWindow.Set(Report());
    BeginThread(UnzipWorker, &state);
}

void ProgressDLG::OnProgressStep() {
    if (const auto position = ::OnProgressStep(OperationState::Instance()))
        m_ui->m_progress->setValue(*position);
}

void ProgressDLG::OnProgressReset() {
    const ProgressRange range = ::OnProgressReset(OperationState::Instance());
    m_ui->m_progress->setRange(range.minimum, range.maximum);
    m_ui->m_progress->setValue(0);
}

void ProgressDLG::OnOperationFinished() {
    // After a failure the worker still has its message to show; it ends the process itself.
    if (!OperationState::Instance().failed)
        QCoreApplication::exit(0);
}
