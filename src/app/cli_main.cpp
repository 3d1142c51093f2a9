// tarvo-cli: the same unzip and zip operations as the windows, for scripts and headless machines.

#include "app/ConsoleReport.h"
#include "archive/PathRefusal.h"
#include "archive/ResolvedPath.h"
#include "archive/UnzipWorker.h"
#include "archive/ZipWorker.h"
#include "operation/OperationState.h"
#include "operation/ThreadStart.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

const char Usage[] =
    "Usage: tarvo-cli unzip ARCHIVE\n"
    "       tarvo-cli zip PATH\n"
    "\n"
    "unzip  unpacks ARCHIVE into the folder beside it named after it\n"
    "       (photos.zip -> photos, or photos(1) when a file named photos is there)\n"
    "zip    packs the file or folder PATH into PATH.zip beside it (BZIP2)\n"
    "\n"
    "Exit status: 0 on success, 1 when the operation failed or an entry is\n"
    "corrupted, 2 on a usage error.\n";

int RunCommand(const QString& command, const QString& path) {
    OperationState& state = OperationState::Instance();
    state.reportWindow.Set(std::make_shared<ConsoleReport>());
    state.selectedPath = path;
    state.busy = true; // as a start command does: one operation at a time
    if (command == QLatin1String("unzip")) {
        state.unzipSelected = true;
        switch (RunUnzip(state)) {
        case UnzipOutcome::Succeeded:
            return ExitSuccess;
        case UnzipOutcome::Refused:
            return ExitUsage;
        default:
            return ExitFailure;
        }
    }
    state.zipSelected = true;
    state.zipFolder = QFileInfo(state.selectedPath).isDir();
    switch (RunZip(state)) {
    case ZipOutcome::Succeeded:
        return ExitSuccess;
    case ZipOutcome::Refused:
        return ExitUsage;
    default:
        return ExitFailure;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(Usage, stdout);
        return ExitSuccess;
    }
    if (argc != 3 || (std::strcmp(argv[1], "unzip") != 0 && std::strcmp(argv[1], "zip") != 0)) {
        std::fputs(Usage, stderr);
        return ExitUsage;
    }
    QString path;
    try {
        path = ArgumentPath(argv[2]);
    } catch (const PathRefusal& refusal) {
        std::fprintf(stderr, "%s\n", refusal.what());
        return ExitUsage;
    }
    const int exitCode = RunCommand(QString::fromUtf8(argv[1]), path);
    // The ticker may still be asleep; EndProcessNow does not wait for it.
    EndProcessNow(exitCode);
}
