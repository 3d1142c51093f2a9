#include "archive/ZipWorker.h"

#include "archive/ExistingArchive.h"
#include "archive/Messages.h"
#include "archive/PathRefusal.h"
#include "archive/ResolvedPath.h"
#include "archive/WalkFolder.h"
#include "operation/ProgressTicker.h"
#include "ziparchive/CZipArchive.h"
#include "ziparchive/FreedMemory.h"
#include "ziparchive/fs/ToNarrow.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// Refuses two files that would be stored under names readers take for one: the same bytes (a
// folder changing while it is walked can list a file twice), or the same once '\' is read as
// the separator it is where archives are often unpacked.
void CheckNamesApart(const std::vector<std::string>& files, std::size_t prefix) {
    std::unordered_map<std::string, const std::string*> seen;
    for (const std::string& path : files) {
        std::string key = path.substr(prefix);
        std::replace(key.begin(), key.end(), '\\', '/');
        const auto [earlier, added] = seen.emplace(std::move(key), &path);
        if (!added)
            throw PathRefusal("Two files would be stored under one name: " +
                              ShownName(*earlier->second).toStdString() + " and " +
                              ShownName(path).toStdString() + ".");
    }
}

// What the user should know beside the success message: files that were left out, and files
// stored as they were read while they changed. Empty when there is nothing to say.
QString NotesOnRun(const SkippedSpecials& skipped, const CZipArchive& zip) {
    QStringList notes;
    if (skipped.count == 1)
        notes << QStringLiteral("1 special file (a FIFO, socket or device) was left out: %1")
                     .arg(QFile::decodeName(skipped.first.c_str()));
    else if (skipped.count > 1)
        notes << QStringLiteral("%1 special files (FIFOs, sockets or devices) were left out, the "
                                "first: %2")
                     .arg(skipped.count)
                     .arg(QFile::decodeName(skipped.first.c_str()));
    const std::uint64_t changed = zip.GetChangedFileCount();
    const QString first = QFile::decodeName(zip.GetFirstChangedFile().c_str());
    if (changed == 1)
        notes << QStringLiteral("1 file changed size while it was read and was stored as read: %1")
                     .arg(first);
    else if (changed > 1)
        notes << QStringLiteral("%1 files changed size while they were read and were stored as "
                                "read, the first: %2")
                     .arg(changed)
                     .arg(first);
    return notes.join(QLatin1Char('\n'));
}

// Every file under the folder, stored under its path relative to the folder. A step is posted
// as each file's data has been written, so the bar shows real progress. The list of paths is
// let go once the archive has its own record of the files: libzip's records of a folder of a
// million files then reuse its memory, instead of coming on top of it.
QString ZipFolder(OperationState& state, const QString& folder, const QString& archivePath) {
    const std::string narrowFolder = ToNarrow(folder);
    std::vector<std::string> fileList;
    const SkippedSpecials skipped = WalkFolder(narrowFolder, fileList);
    const std::size_t prefix =
        narrowFolder.ends_with('/') ? narrowFolder.size() : narrowFolder.size() + 1;
    CheckNamesApart(fileList, prefix);

    CZipArchive zip;
    zip.SetStopFlag(&state.stopRequested);
    zip.Open(archivePath, CZipArchive::zipCreate, 0);
    zip.SetCompressionMethod(CZipArchive::methodBzip2);

    for (const std::string& path : fileList)
        zip.AddNewFile(path, path.substr(prefix), -1, 65536);

    // A step per file, and 100 more that follow the bytes, so the bar also moves within a large
    // file.
    const std::size_t files = fileList.size();
    const std::uint64_t bytes = zip.GetProgressTotal();
    const int byteSteps = bytes > 0 ? WorkMeter::StepsPerRun : 0;
    state.stepTotal = static_cast<std::int32_t>(
        std::min<std::size_t>(files + 1 + byteSteps, std::numeric_limits<std::int32_t>::max()));
    state.reportWindow.Post(ProgressMessage::Reset);
    state.reportWindow.Post(ProgressMessage::Step);

    std::vector<std::string>().swap(fileList);
    ReturnFreedMemory();
    std::optional<TickedWork> work;
    if (byteSteps > 0) {
        work.emplace(state, bytes, byteSteps);
        zip.SetProgressCounter(work->Counter());
    }
    zip.SetEntryWrittenCallback([&state, files](std::uint64_t index) {
        state.work.SetCurrent(QStringLiteral("%1 of %2 files").arg(index + 1).arg(files));
        state.reportWindow.Post(ProgressMessage::Step);
    });
    zip.Close(0, false);
    // The byte steps the ticker had not posted yet: the bar ends full.
    for (int steps = work ? work->Finish() : 0; steps > 0; --steps)
        state.reportWindow.Post(ProgressMessage::Step);
    return NotesOnRun(skipped, zip);
}

// One file, stored under its bare name but read by its full path, so the current directory
// does not matter. The ticker moves the bar with the bytes compressed meanwhile.
QString ZipFile(OperationState& state, const QString& file, const QString& archivePath) {
    CZipArchive zip;
    zip.SetStopFlag(&state.stopRequested);
    zip.Open(archivePath, CZipArchive::zipCreate, 0);
    zip.SetCompressionMethod(CZipArchive::methodBzip2);
    state.reportWindow.Post(ProgressMessage::Reset);
    const QString name = QFileInfo(file).fileName();
    zip.AddNewFile(ToNarrow(file), ToNarrow(name), -1, 65536);
    state.work.SetCurrent(name);
    TickedWork work(state, zip.GetProgressTotal(), 95);
    zip.SetProgressCounter(work.Counter());
    zip.Close(0, false);
    work.Finish();
    state.progressCount = 100;
    state.reportWindow.Post(ProgressMessage::Step);
    return NotesOnRun({}, zip);
}

} // namespace

QString ZipArchivePathFor(const QString& selectedPath) {
    return selectedPath + QStringLiteral(".zip");
}

ZipOutcome RunZip(OperationState& state) {
    const ReportHandle& report = state.reportWindow;
    state.failed = false;
    try {
        // An empty path would name ".zip" in the current folder, beside nothing.
        if (state.selectedPath.isEmpty() || !state.zipSelected) {
            // The start command raised busy for this run; a refused run gives it back.
            state.busy = false;
            report.ShowMessage(Messages::SelectToZip, Messages::Zipper, MessageKind::Failure);
            // The progress window has nothing left to show: it ends as after any failure.
            if (state.directMode)
                report.EndProcess(0);
            return ZipOutcome::Refused;
        }
        state.busy = true;
        const QString selected = ResolvedPath(state.selectedPath, QDir::currentPath());
        const QString archivePath = ZipArchivePathFor(selected);
        CheckArchiveMayBeReplaced(archivePath);
        const QString notes = state.zipFolder ? ZipFolder(state, selected, archivePath)
                                              : ZipFile(state, selected, archivePath);
        report.ShowMessage(Messages::ZipSucceeded, Messages::Zipper, MessageKind::Outcome, notes);
        report.OpenFolder(QFileInfo(archivePath).absolutePath());
        report.Post(ProgressMessage::Finished);
        return ZipOutcome::Succeeded;
    } catch (const CZipStopped&) {
        // Whoever asked for the stop ends the process once this is posted; there is nothing
        // to tell the user.
        state.failed = true;
        report.Post(ProgressMessage::Finished);
        return ZipOutcome::Stopped;
    } catch (const std::exception& failure) {
        state.failed = true;
        report.Post(ProgressMessage::Finished);
        report.ShowMessage(Messages::ZipFailed, Messages::Zipper, MessageKind::Failure,
                           QString::fromUtf8(failure.what()));
        if (state.directMode)
            report.EndProcess(0);
        return ZipOutcome::Failed;
    }
}

unsigned ZipWorker(void* state) {
    RunZip(*static_cast<OperationState*>(state));
    return 0;
}
