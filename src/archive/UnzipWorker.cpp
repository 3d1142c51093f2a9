#include "archive/UnzipWorker.h"

#include "archive/Messages.h"
#include "archive/ResolvedPath.h"
#include "archive/UnzipDestination.h"
#include "operation/ProgressProtocol.h"
#include "operation/ProgressTicker.h"
#include "operation/ThreadStart.h"
#include "ziparchive/CZipArchive.h"

#include <QDir>
#include <QFileInfo>

#include <exception>

namespace {

// Tests and extracts every entry in order, stopping at the first one that fails its test.
bool ExtractAll(CZipArchive& zip, const QString& destination, const ReportHandle& report) {
    for (std::uint64_t i = 0; i < zip.GetCount(); ++i) {
        if (!zip.TestFile(i, 65536)) {
            report.ShowMessage(Messages::ZipFileCorrupted, Messages::Unzipper,
                               MessageKind::Failure);
            return false;
        }
        zip.ExtractFile(i, destination, true, nullptr, 65536);
    }
    return true;
}

} // namespace

UnzipOutcome RunUnzip(OperationState& state) {
    const ReportHandle& report = state.reportWindow;
    state.failed = false;
    try {
        if (state.selectedPath.isEmpty() || !state.unzipSelected) {
            // The start command raised busy for this run; a refused run gives it back.
            state.busy = false;
            report.ShowMessage(Messages::SelectZipFile, Messages::Unzipper, MessageKind::Failure);
            // The progress window has nothing left to show: it ends as after any failure.
            if (state.directMode)
                report.EndProcess(0);
            return UnzipOutcome::Refused;
        }
        state.busy = true;
        const QString archivePath = ResolvedPath(state.selectedPath, QDir::currentPath());
        state.tickPeriod = TickPeriodFor(MeasureFileSize(archivePath));

        bool sound = false;
        QString destination;
        {
            CZipArchive zip;
            zip.SetStopFlag(&state.stopRequested);
            zip.SetThreadCount(state.unzipThreads);
            zip.Open(archivePath, CZipArchive::zipOpen, 0);
            // An existing folder is unpacked into only when no entry would replace or write
            // through anything in it; otherwise the archive goes into a folder of its own.
            destination = UnzipDestinationFor(
                archivePath, [&zip](const QString& folder) { return zip.FitsInto(folder); });
            zip.SetExtractionRoot(destination);
            report.Post(ProgressMessage::Reset);
            BeginThread(ProgressTicker, &state);
            sound = ExtractAll(zip, destination, report);
            zip.Close(0, false);
        }
        state.progressCount = 100;
        report.Post(ProgressMessage::Step);
        if (sound) {
            // An archive without entries still leaves the folder the user is shown.
            QDir().mkpath(destination);
            report.ShowMessage(Messages::UnzipSucceeded, Messages::Unzipper, MessageKind::Outcome);
        }
        // When the first entry failed there is no folder to show.
        if (QFileInfo(destination).isDir())
            report.OpenFolder(destination);
        report.Post(ProgressMessage::Finished);
        return sound ? UnzipOutcome::Succeeded : UnzipOutcome::Corrupted;
    } catch (const CZipStopped&) {
        // Whoever asked for the stop ends the process once this is posted; there is nothing
        // to tell the user.
        state.failed = true;
        report.Post(ProgressMessage::Finished);
        return UnzipOutcome::Stopped;
    } catch (const std::exception&) {
        state.failed = true;
        report.Post(ProgressMessage::Finished);
        report.ShowMessage(Messages::UnzipFailed, Messages::Unzipper, MessageKind::Failure);
        if (state.directMode)
            report.EndProcess(0);
        return UnzipOutcome::Failed;
    }
}

unsigned UnzipWorker(void* state) {
    RunUnzip(*static_cast<OperationState*>(state));
    return 0;
}
