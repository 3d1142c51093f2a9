#include "app/CTarvoApp.h"
#include "app/LocalTimeZone.h"
#include "app/ProgramOptions.h"
#include "operation/StopSignals.h"
#include "operation/ThreadStart.h"

namespace {

const char Usage[] =
    "Usage: tarvo [--] [ARCHIVE]\n"
    "       tarvo --zip [--] PATH\n"
    "       tarvo --version | --help\n"
    "\n"
    "Without ARCHIVE, opens the window to pick a file or folder to zip, or an archive to unzip.\n"
    "With ARCHIVE, unpacks it into the folder beside it named after it, in a small progress\n"
    "window, and ends by itself.\n"
    "--zip  packs the file or folder PATH into PATH.zip beside it, in the same small window,\n"
    "       and ends by itself\n"
    "--     ends the options: what follows is the path, even if its name starts with -\n";

} // namespace

int main(int argc, char** argv) {
    NameLocalTimeZone();
    const ProgramOptions options = ReadProgramOptions(argc, argv, {.zip = true});
    if (const auto answered = AnswerProgramOptions(options, "Tarvo " TARVO_VERSION "\n", Usage))
        return *answered;
    // The arguments are read: Qt is given none of its own to interpret, so no archive name is
    // ever taken for one of its options.
    int applicationArgc = 1;
    // The windows watch for Ctrl-C and TERM themselves, to stop a run before the process ends.
    CatchStopSignals(nullptr);
    // --zip without a path still opens its window, which says what is missing: a launcher that
    // had no file to pass has no terminal to show a usage text on.
    const char* path =
        options.operands.empty() ? (options.zip ? "" : nullptr) : options.operands.front();
    int exitCode = 0;
    {
        CTarvoApp app(applicationArgc, argv, path,
                      options.zip ? DirectOperation::Zip : DirectOperation::Unzip);
        exitCode = app.InitInstance();
    }
    EndProcessNow(exitCode);
}
