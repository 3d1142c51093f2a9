#include "ui/CTarvoDlg.h"

#include "ui_CTarvoDlg.h"

#include "archive/Messages.h"
#include "archive/UnzipWorker.h"
#include "archive/ZipWorker.h"
#include "ui/AStatic.h"
#include "ui/CAboutDlg.h"
#include "ui/DialogUnits.h"
#include "ui/FitLabels.h"
#include "ui/OkBox.h"
#include "ui/SiblingProgram.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QGroupBox>
#include <QLabel>

#include <algorithm>

namespace {

const QString NothingSelected = QStringLiteral("No file or folder has been selected !");
const QString ArchiveSelected = QStringLiteral("One file has been selected for unzipping");
const QString FileSelected = QStringLiteral("One file has been selected for zipping");
const QString FolderSelected = QStringLiteral("One folder has been selected for zipping");
const QString ActionInProgress = QStringLiteral("One action in progress please wait!");

const QColor WarningColour(200, 0, 0);
const QColor SelectedColour(0, 155, 0);

constexpr QPoint StatusNominalCorner(100, 10);
constexpr QSize StatusNominalSize(100, 20);

} // namespace

CTarvoDlg::CTarvoDlg(QWidget* parent) : ReportingDialog(parent), m_ui(new Ui::CTarvoDlg) {
    m_ui->setupUi(this);
    ApplyDialogUnits(this);
    FitLabelsToText(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    // The frames are drawn around controls that are their siblings, not their children; below
    // them, a frame would take the clicks meant for the buttons it surrounds.
    for (QGroupBox* frame : findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly))
        frame->lower();

    auto* about = new QAction(QStringLiteral("&About Tarvo..."), this);
    connect(about, &QAction::triggered, this, &CTarvoDlg::OnAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    connect(m_ui->m_btnSelectUnzip, &QPushButton::clicked, this, &CTarvoDlg::OnSelectUnzipFile);
    connect(m_ui->m_btnUnzip, &QPushButton::clicked, this, &CTarvoDlg::OnUnzip);
    connect(m_ui->m_btnSelectZipFile, &QPushButton::clicked, this, &CTarvoDlg::OnSelectZipFile);
    connect(m_ui->m_btnSelectZipFolder, &QPushButton::clicked, this, &CTarvoDlg::OnSelectZipFolder);
    connect(m_ui->m_btnZip, &QPushButton::clicked, this, &CTarvoDlg::OnZip);
    connect(m_ui->m_btnMore, &QPushButton::clicked, this, &CTarvoDlg::OnMore);
}

CTarvoDlg::~CTarvoDlg() = default;

void CTarvoDlg::OnInitDialog() {
    OperationState& state = OperationState::Instance();
    state.directMode = false;
    ShowStatus(NothingSelected, 1);
    state.progressCount = 0;
    state.zipSelected = false;
    state.unzipSelected = false;
    state.busy = false;
    m_ui->m_btnSelectUnzip->setFocus(Qt::OtherFocusReason);
}

// The status reads on from the "File Selection :" caption. Its corner is at pixel (100, 10),
// where it follows the caption at the font the form was drawn for; with a wider or larger font
// it moves right and down with the caption instead of writing over it.
QPoint CTarvoDlg::StatusCorner() const {
    const QLabel* caption = m_ui->m_lblFileSelection;
    const QFontMetrics metrics(caption->font());
    const int captionEnd = caption->x() + metrics.horizontalAdvance(caption->text());
    const QPoint followingCaption(captionEnd + metrics.horizontalAdvance(QLatin1Char(' ')),
                                  caption->y());
    // The label draws its text 2 pixels in from its corner.
    return QPoint(std::max(StatusNominalCorner.x(), followingCaption.x() - 2),
                  std::max(StatusNominalCorner.y(), followingCaption.y() - 2));
}

void CTarvoDlg::ShowStatus(QString text, int warning) {
    // Deleting the old label repaints the window where it drew, so nothing of its text stays.
    delete m_pStatus;
    m_pStatus = new AStatic(text, warning ? WarningColour : SelectedColour, this);
    m_pStatus->setObjectName(QStringLiteral("m_pStatus"));
    // A long text runs on past the nominal 100 pixels up to the window's edge, and a large font
    // is not cut at the foot.
    const QPoint corner = StatusCorner();
    const int width = std::max(StatusNominalSize.width(), this->width() - corner.x());
    const int height = std::max(StatusNominalSize.height(), fontMetrics().height() + 4);
    m_pStatus->setGeometry(QRect(corner, QSize(width, height)));
    // It reaches under MORE: the button stays on top and gets the clicks.
    m_pStatus->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_pStatus->lower();
    m_pStatus->show();
}

QProgressBar* CTarvoDlg::ProgressBar() const {
    return m_ui->m_progress;
}

void CTarvoDlg::OnOperationFinished() {
    ResetSelection();
}

void CTarvoDlg::ResetSelection() {
    OperationState& state = OperationState::Instance();
    state.progressCount = 0;
    m_ui->m_progress->setValue(0);
    ShowStatus(NothingSelected, 1);
    state.selectedPath.clear();
    state.zipSelected = false;
    state.unzipSelected = false;
    // Last: the selection commands may act again only once the selection is cleared.
    state.busy = false;
}

bool CTarvoDlg::RefuseWhileBusy(const QString& caption) {
    if (!OperationState::Instance().busy)
        return false;
    ShowOkBox(this, caption, ActionInProgress);
    return true;
}

void CTarvoDlg::SelectNothing() {
    OperationState& state = OperationState::Instance();
    state.zipSelected = false;
    state.unzipSelected = false;
    ShowStatus(NothingSelected, 1);
}

void CTarvoDlg::Select(Picked kind, const QString& chosen) {
    OperationState& state = OperationState::Instance();
    state.selectedPath = chosen;
    if (chosen.isEmpty())
        return SelectNothing();
    const bool zip = kind != Picked::Archive;
    ShowStatus(!zip ? ArchiveSelected : kind == Picked::File ? FileSelected : FolderSelected, 0);
    // An archive leaves the zip side's folder flag as it was.
    if (zip)
        state.zipFolder = kind == Picked::Folder;
    state.zipSelected = zip;
    state.unzipSelected = !zip;
}

void CTarvoDlg::OnSelectUnzipFile() {
    if (!RefuseWhileBusy(Messages::Unzipper))
        Select(Picked::Archive, PickFile(true));
}

void CTarvoDlg::OnSelectZipFile() {
    if (!RefuseWhileBusy(Messages::Zipper))
        Select(Picked::File, PickFile(false));
}

void CTarvoDlg::OnSelectZipFolder() {
    if (!RefuseWhileBusy(Messages::Zipper))
        Select(Picked::Folder, PickFolder());
}

void CTarvoDlg::OnUnzip() {
    if (RefuseWhileBusy(Messages::Unzipper))
        return;
    StartWorker(UnzipWorker);
}

void CTarvoDlg::OnZip() {
    if (RefuseWhileBusy(Messages::Zipper))
        return;
    StartWorker(ZipWorker);
}

void CTarvoDlg::StartWorker(ThreadProcedure worker) {
    OperationState& state = OperationState::Instance();
    state.reportWindow.Set(Report());
    state.progressCount = 0;
    m_ui->m_progress->setValue(0);
    // Raised here and not only by the worker: a second click that arrives before the worker
    // has begun is refused as well, so two workers never run and no selection changes under a
    // starting one. A worker that refuses the selection clears it again.
    state.busy = true;
    BeginThread(worker, &state);
}

void CTarvoDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CTarvoDlg::OnMore() {
    OnAbout();
    // A folder zip may have moved the current directory; the companion program lives beside
    // this one and is started from there.
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    SiblingProgram::Start();
}
