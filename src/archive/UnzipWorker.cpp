#include "archive/UnzipWorker.h"

#include "archive/ArchivePassword.h"
#include "archive/Messages.h"
#include "archive/ResolvedPath.h"
#include "archive/UnzipDestination.h"
#include "operation/ProgressTicker.h"
#include "ziparchive/CZipArchive.h"

#include <QDir>
#include <QFileInfo>

#include <exception>

namespace {

// Tests and extracts every entry in order, stopping at the first one that fails its test.
bool ExtractAll(CZipArchive& zip, const QString& destination, OperationState& state) {
    for (std::uint64_t i = 0; i < zip.GetCount(); ++i) {
        state.work.SetCurrent(QString::fromUtf8(zip.GetEntryLabel(i)));
        if (!zip.TestFile(i, 65536)) {
            state.reportWindow.ShowMessage(Messages::ZipFileCorrupted, Messages::Unzipper,
                                           MessageKind::Failure,
                                           QString::fromUtf8(zip.LastTestFailure()));
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

        bool sound = false;
        QString destination;
        {
            CZipArchive zip;
            zip.SetStopFlag(&state.stopRequested);
            zip.SetThreadCount(state.unzipThreads);
            zip.Open(archivePath, CZipArchive::zipOpen, 0);
            // Asked before the destination: a wrong or missing password leaves nothing behind.
            UnlockArchive(zip, archivePath, report, state.stopRequested);
            // An existing folder is unpacked into only when no entry would replace or write
            // through anything in it; otherwise the archive goes into a folder of its own.
            destination = UnzipDestinationFor(
                archivePath, [&zip](const QString& folder) { return zip.FitsInto(folder); });
            report.Post(ProgressMessage::Reset);
            // The bar follows the archive's bytes as the decoders read them.
            TickedWork work(state, zip.GetProgressTotal(), 95);
            zip.SetProgressCounter(work.Counter());
            zip.SetExtractionRoot(destination);
            sound = ExtractAll(zip, destination, state);
            work.Finish();
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
    } catch (const std::exception& failure) {
        state.failed = true;
        report.Post(ProgressMessage::Finished);
        report.ShowMessage(Messages::UnzipFailed, Messages::Unzipper, MessageKind::Failure,
                           QString::fromUtf8(failure.what()));
        if (state.directMode)
            report.EndProcess(0);
        return UnzipOutcome::Failed;
    }
}

unsigned UnzipWorker(void* state) {
    RunUnzip(*static_cast<OperationState*>(state));
    return 0;
}
