// CommandLine: the program's few options. Without any the program starts
// as it always has, with vtl.ini beside the executable.
#pragma once

#include <string>
#include <vector>

enum class TCommandAction { Run, ShowVersion, ShowHelp, Misuse };

struct TCommandLine {
    TCommandAction action = TCommandAction::Run;
    // For Run: the settings file to read; empty for the one beside the
    // executable.
    std::string configPath;
    // For Misuse: what was wrong, in one line.
    std::string problem;
};

// The exit status of a misused command line, as shells and tools expect.
constexpr int MisuseExitStatus = 2;

// arguments: everything after the program name.
TCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The usage text, several lines, each ending in a line end.
std::string UsageText();
