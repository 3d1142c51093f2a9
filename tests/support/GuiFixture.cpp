#include "support/GuiFixture.h"

#include "operation/OperationState.h"
#include "operation/ThreadStart.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

namespace GuiFixture {
namespace {
const char* const CapturedSchemes[] = {"file", "http", "https"};
} // namespace

bool WaitForProgramThreads() {
    return QTest::qWaitFor([] { return RunningThreadCount() == 0; }, 60000);
}

Case::Case() {
    QCoreApplication::setApplicationName(QStringLiteral("Tarvo"));
    // The file dialog keeps its history in the settings; keep that out of the user's.
    QStandardPaths::setTestModeEnabled(true);
    // The operation state as a freshly started program has it.
    OperationState& state = OperationState::Instance();
    state.busy = state.zipFolder = state.unzipSelected = state.zipSelected = false;
    state.failed = state.directMode = state.stopRequested = false;
    state.stepTotal = state.progressCount = 0;
    state.reportWindow.Set(nullptr);
    state.selectedPath.clear();
    if (!m_files.isValid())
        QTest::qFail("no temporary folder", __FILE__, __LINE__);
    for (const char* scheme : CapturedSchemes)
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "Open");
}

Case::~Case() {
    if (!WaitForProgramThreads())
        QTest::qFail("the program's threads still run", __FILE__, __LINE__);
    // QCoreApplication::exit() (which the progress window uses to end the program) makes every
    // later exec() return at once; this takes that request back so the next test can run modals.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    for (const char* scheme : CapturedSchemes)
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}

} // namespace GuiFixture
