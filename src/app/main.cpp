#include "app/CTarvoApp.h"
#include "app/ProgramOptions.h"
#include "operation/StopSignals.h"
#include "operation/ThreadStart.h"

namespace {

const char Usage[] =
    "Usage: tarvo [--] [ARCHIVE]\n"
    "       tarvo --version | --help\n"
    "\n"
    "Without ARCHIVE, opens the window to pick a file or folder to zip, or an archive to unzip.\n"
    "With ARCHIVE, unpacks it into the folder beside it named after it, in a small progress\n"
    "window, and ends by itself.\n"
    "--  ends the options: what follows is the archive, even if its name starts with -\n";

} // namespace

int main(int argc, char** argv) {
    const ProgramOptions options = ReadProgramOptions(argc, argv);
    if (const auto answered = AnswerProgramOptions(options, "Tarvo " TARVO_VERSION "\n", Usage))
        return *answered;
    // The arguments are read: Qt is given none of its own to interpret, so no archive name is
    // ever taken for one of its options.
    int applicationArgc = 1;
    // The windows watch for Ctrl-C and TERM themselves, to stop a run before the process ends.
    CatchStopSignals(nullptr);
    int exitCode = 0;
    {
        CTarvoApp app(applicationArgc, argv,
                      options.operands.empty() ? nullptr : options.operands.front());
        exitCode = app.InitInstance();
    }
    EndProcessNow(exitCode);
}
