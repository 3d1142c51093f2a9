// tarvo-cli: the same unzip and zip operations as the windows, for scripts and headless machines.

#include "app/ConsolePassword.h"
#include "app/ConsoleReport.h"
#include "app/LocalTimeZone.h"
#include "app/ProgramOptions.h"
#include "archive/PathRefusal.h"
#include "archive/ResolvedPath.h"
#include "archive/UnzipWorker.h"
#include "archive/ZipWorker.h"
#include "operation/OperationState.h"
#include "operation/StopSignals.h"
#include "operation/ThreadStart.h"

#include <QDir>
#include <QFileInfo>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr int ExitSuccess = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

const char Usage[] =
    "Usage: tarvo-cli [-q] unzip [--] ARCHIVE\n"
    "       tarvo-cli [-q] unzip --password-file FILE [--] ARCHIVE\n"
    "       tarvo-cli [-q] zip [--] PATH\n"
    "       tarvo-cli --version | --help\n"
    "\n"
    "unzip  unpacks ARCHIVE into the folder beside it named after it\n"
    "       (photos.zip -> photos, or photos(1), photos(2), ... when something\n"
    "       is in the way there; nothing there is ever replaced)\n"
    "zip    packs the file or folder PATH into PATH.zip beside it (BZIP2)\n"
    "--password-file FILE\n"
    "       the password of an encrypted ARCHIVE is the first line of FILE;\n"
    "       without it, the password is asked on the terminal (up to three\n"
    "       times), and when stdin is not a terminal an encrypted archive fails\n"
    "-q     no progress line (there is none either when stderr is not a terminal)\n"
    "--     ends the options: what follows is a name, even if it starts with -\n"
    "\n"
    "Exit status: 0 on success, 1 when the operation failed or an entry is\n"
    "corrupted, 2 on a usage error, 130 or 143 when SIGINT or SIGTERM stopped\n"
    "it (nothing of the stopped run is left behind).\n";

// Both workers end in one of the same three ways.
template <typename Outcome> int ExitCodeFor(Outcome outcome) {
    if (outcome == Outcome::Succeeded)
        return ExitSuccess;
    return outcome == Outcome::Refused ? ExitUsage : ExitFailure;
}

int RunCommand(const QString& command, const QString& path, bool showProgress,
               std::unique_ptr<PasswordSource> passwords) {
    OperationState& state = OperationState::Instance();
    state.reportWindow.Set(std::make_shared<ConsoleReport>(showProgress ? &state.work : nullptr,
                                                           std::move(passwords)));
    state.selectedPath = path;
    state.busy = true; // as a start command does: one operation at a time
    // For measuring: the threads an unzip uses, whatever the machine has.
    if (const char* threads = std::getenv("TARVO_THREADS"))
        state.unzipThreads = static_cast<unsigned>(std::strtoul(threads, nullptr, 10));
    if (command == QLatin1String("unzip")) {
        state.unzipSelected = true;
        const int exitCode = ExitCodeFor(RunUnzip(state));
        // The report goes with the run, and with it a password file's line that was not asked
        // for: the process ends without running destructors.
        state.reportWindow.Set(nullptr);
        return exitCode;
    }
    state.zipSelected = true;
    state.zipFolder = QFileInfo(state.selectedPath).isDir();
    return ExitCodeFor(RunZip(state));
}

} // namespace

int main(int argc, char** argv) {
    NameLocalTimeZone();
    const ProgramOptions options =
        ReadProgramOptions(argc, argv, {.quiet = true, .passwordFile = true});
    if (const auto answered = AnswerProgramOptions(options, "tarvo-cli " TARVO_VERSION "\n", Usage))
        return *answered;
    const std::vector<const char*>& operands = options.operands;
    const QString command = QString::fromUtf8(operands.empty() ? "" : operands.front());
    if (operands.size() != 2 ||
        (command != QLatin1String("unzip") && command != QLatin1String("zip"))) {
        std::fputs(Usage, stderr);
        return ExitUsage;
    }
    if (options.passwordFile && command != QLatin1String("unzip")) {
        std::fputs(Usage, stderr);
        return ExitUsage;
    }
    QString path;
    try {
        path = ArgumentPath(operands.back());
    } catch (const PathRefusal& refusal) {
        std::fprintf(stderr, "%s\n", refusal.what());
        return ExitUsage;
    }
    std::unique_ptr<PasswordSource> passwords;
    try {
        passwords = options.passwordFile ? std::make_unique<ConsolePassword>(options.passwordFile)
                                         : std::make_unique<ConsolePassword>();
    } catch (const std::runtime_error& failure) {
        std::fprintf(stderr, "Error: %s\n", failure.what());
        return ExitFailure;
    }
    // Ctrl-C or a TERM signal stops the operation, which takes back what it wrote, and the
    // exit code says which signal it was, as if it had ended the process.
    CatchStopSignals(&OperationState::Instance().stopRequested);
    // A progress line only where someone watches it: not in a log, nor under -q.
    const bool showProgress = !options.quiet && ::isatty(STDERR_FILENO);
    int exitCode = RunCommand(command, path, showProgress, std::move(passwords));
    if (StopSignal() != 0)
        exitCode = StopExitCode(StopSignal());
    // The ticker may still be asleep; EndProcessNow does not wait for it.
    EndProcessNow(exitCode);
}
