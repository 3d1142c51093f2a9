#pragma once

#include <optional>
#include <vector>

// The options both programs take before their operands: --version, --help (or -h), and "--",
// after which every argument is an operand, so a file whose name starts with "-" can be named;
// where asked for, -q (or --quiet), --zip and --password-file FILE (or --password-file=FILE)
// too. Any other argument that starts with "-" is a usage error, as is --password-file without
// its file. The operands are argv's own strings, untouched, in order.
struct ProgramOptions {
    enum Action { Run, PrintVersion, PrintHelp, UsageError };
    Action action = Run;
    std::vector<const char*> operands;
    bool quiet = false;                 // no progress line
    bool zip = false;                   // pack the operand instead of unpacking it
    const char* passwordFile = nullptr; // where an encrypted archive's password is read
};

// The options a program takes beyond those every program takes.
struct ExtraOptions {
    bool quiet = false;
    bool zip = false;
    bool passwordFile = false;
};

ProgramOptions ReadProgramOptions(int argc, const char* const* argv, ExtraOptions takes = {});

// Answers the options that need no run: prints the version line or the usage (on stderr after a
// usage error) and gives the exit code, 0 or 2. Empty when the program is to run.
std::optional<int> AnswerProgramOptions(const ProgramOptions& options, const char* versionLine,
                                        const char* usage);
