#include "support/GuiFixture.h"

#include "operation/OperationState.h"
#include "operation/ThreadStart.h"
#include "ui/AStatic.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QTest>
#include <QTimer>

namespace GuiFixture {

void ResetOperationState() {
    OperationState& state = OperationState::Instance();
    state.busy = false;
    state.stepTotal = 0;
    state.zipFolder = false;
    state.unzipSelected = false;
    state.zipSelected = false;
    state.reportWindow.Set(nullptr);
    state.failed = false;
    state.directMode = false;
    state.progressCount = 0;
    state.selectedPath.clear();
    state.stopRequested = false;
}

bool WaitForProgramThreads() {
    return QTest::qWaitFor([] { return RunningThreadCount() == 0; }, 60000);
}

void ClearQuitRequest() {
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
}

AStatic* StatusLabel(QWidget* window) {
    const QList<AStatic*> labels = window->findChildren<AStatic*>();
    if (labels.size() > 1)
        QTest::qFail("more than one status label", __FILE__, __LINE__);
    return labels.isEmpty() ? nullptr : labels.constFirst();
}

} // namespace GuiFixture

UrlCapture::UrlCapture(QStringList schemes) : m_schemes(std::move(schemes)) {
    for (const QString& scheme : m_schemes)
        QDesktopServices::setUrlHandler(scheme, this, "Open");
}

UrlCapture::~UrlCapture() {
    for (const QString& scheme : m_schemes)
        QDesktopServices::unsetUrlHandler(scheme);
}
