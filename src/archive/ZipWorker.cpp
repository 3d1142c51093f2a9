#include "archive/ZipWorker.h"

#include "archive/Messages.h"
#include "archive/ToNarrow.h"
#include "archive/WalkFolder.h"
#include "operation/ProgressProtocol.h"
#include "operation/ProgressTicker.h"
#include "operation/ThreadStart.h"
#include "ziparchive/CZipArchive.h"

#include <QDir>
#include <QFileInfo>

#include <exception>
#include <limits>

namespace {

// Every file under the folder, stored under its path relative to the folder. A step is posted
// as each file's data has been written, so the bar shows real progress.
void ZipFolder(OperationState& state, const QString& folder, const QString& archivePath) {
    const std::string narrowFolder = ToNarrow(folder);
    WalkFolder(narrowFolder, state.fileList);

    CZipArchive zip;
    zip.Open(archivePath, CZipArchive::zipCreate, 0);
    zip.SetCompressionMethod(CZipArchive::methodBzip2);

    const std::size_t files = state.fileList.size();
    state.stepTotal = static_cast<std::int32_t>(
        std::min<std::size_t>(files + 1, std::numeric_limits<std::int32_t>::max()));
    state.reportWindow.Post(ProgressMessage::Reset);
    state.reportWindow.Post(ProgressMessage::Step);

    const std::size_t prefix =
        narrowFolder.ends_with('/') ? narrowFolder.size() : narrowFolder.size() + 1;
    for (const std::string& path : state.fileList)
        zip.AddNewFile(path, path.substr(prefix), -1, 65536);
    zip.SetEntryWrittenCallback(
        [&state](std::uint64_t) { state.reportWindow.Post(ProgressMessage::Step); });
    zip.Close(0, false);
}

// One file, stored under its bare name but read by its full path, so the current directory
// does not matter. The ticker moves the bar meanwhile.
void ZipFile(OperationState& state, const QString& file, const QString& archivePath) {
    CZipArchive zip;
    zip.Open(archivePath, CZipArchive::zipCreate, 0);
    zip.SetCompressionMethod(CZipArchive::methodBzip2);
    state.tickPeriod = TickPeriodFor(MeasureFileSize(file));
    state.reportWindow.Post(ProgressMessage::Reset);
    BeginThread(ProgressTicker, &state);
    zip.AddNewFile(ToNarrow(file), ToNarrow(QFileInfo(file).fileName()), -1, 65536);
    zip.Close(0, false);
    state.progressCount = 100;
    state.reportWindow.Post(ProgressMessage::Step);
}

} // namespace

QString ZipArchivePathFor(const QString& selectedPath) {
    return QDir::cleanPath(selectedPath) + QStringLiteral(".zip");
}

ZipOutcome RunZip(OperationState& state) {
    const ReportHandle& report = state.reportWindow;
    state.failed = false;
    try {
        if (!state.zipSelected) {
            // The start command raised busy for this run; a refused run gives it back.
            state.busy = false;
            report.ShowMessage(Messages::SelectToZip, Messages::Zipper);
            return ZipOutcome::Refused;
        }
        state.busy = true;
        const QString selected = QDir::cleanPath(state.selectedPath);
        const QString archivePath = ZipArchivePathFor(selected);
        if (state.zipFolder)
            ZipFolder(state, selected, archivePath);
        else
            ZipFile(state, selected, archivePath);
        report.ShowMessage(Messages::ZipSucceeded, Messages::Zipper);
        report.OpenFolder(QFileInfo(archivePath).absolutePath());
        report.Post(ProgressMessage::Finished);
        return ZipOutcome::Succeeded;
    } catch (const std::exception&) {
        state.failed = true;
        report.Post(ProgressMessage::Finished);
        report.ShowMessage(Messages::ZipFailed, Messages::Zipper);
        return ZipOutcome::Failed;
    }
}

unsigned ZipWorker(void* state) {
    RunZip(*static_cast<OperationState*>(state));
    return 0;
}
