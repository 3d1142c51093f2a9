#include "app/ProgramOptions.h"

#include <cstdio>
#include <string_view>

ProgramOptions ReadProgramOptions(int argc, const char* const* argv, ExtraOptions takes) {
    ProgramOptions options;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (optionsEnded || !argument.starts_with('-')) {
            options.operands.push_back(argv[i]);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--version") {
            return {ProgramOptions::PrintVersion, {}};
        } else if (argument == "--help" || argument == "-h") {
            return {ProgramOptions::PrintHelp, {}};
        } else if (takes.quiet && (argument == "-q" || argument == "--quiet")) {
            options.quiet = true;
        } else if (takes.zip && argument == "--zip") {
            options.zip = true;
        } else if (takes.passwordFile && argument == "--password-file") {
            if (++i == argc)
                return {ProgramOptions::UsageError, {}};
            options.passwordFile = argv[i];
        } else if (takes.passwordFile && argument.starts_with("--password-file=")) {
            options.passwordFile = argv[i] + std::string_view("--password-file=").size();
        } else {
            return {ProgramOptions::UsageError, {}};
        }
    }
    return options;
}

std::optional<int> AnswerProgramOptions(const ProgramOptions& options, const char* versionLine,
                                        const char* usage) {
    switch (options.action) {
    case ProgramOptions::PrintVersion:
        std::fputs(versionLine, stdout);
        return 0;
    case ProgramOptions::PrintHelp:
        std::fputs(usage, stdout);
        return 0;
    case ProgramOptions::UsageError:
        std::fputs(usage, stderr);
        return 2;
    case ProgramOptions::Run:
        break;
    }
    return std::nullopt;
}
