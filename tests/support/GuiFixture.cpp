#include "support/GuiFixture.h"

#include "operation/OperationState.h"
#include "operation/ThreadStart.h"
#include "ui/AStatic.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QTest>
#include <QTimer>

namespace GuiFixture {

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

Case::Case() {
    // The operation state as a freshly started program has it.
    OperationState& state = OperationState::Instance();
    state.busy = state.zipFolder = state.unzipSelected = state.zipSelected = false;
    state.failed = state.directMode = state.stopRequested = false;
    state.stepTotal = state.progressCount = 0;
    state.reportWindow.Set(nullptr);
    state.selectedPath.clear();
    if (!m_files.isValid())
        QTest::qFail("no temporary folder", __FILE__, __LINE__);
}

Case::~Case() {
    if (!WaitForProgramThreads())
        QTest::qFail("the program's threads still run", __FILE__, __LINE__);
    ClearQuitRequest();
}

} // namespace GuiFixture

namespace {
const char* const CapturedSchemes[] = {"file", "http", "https"};
} // namespace

UrlCapture::UrlCapture() {
    for (const char* scheme : CapturedSchemes)
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "Open");
}

UrlCapture::~UrlCapture() {
    for (const char* scheme : CapturedSchemes)
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}
