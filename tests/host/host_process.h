// Running ktzmon-host as a process from a test: quoting for the shell, a
// private temporary path, and the run's exit status and output.
#ifndef KTZHOSTTEST_HOST_PROCESS_H
#define KTZHOSTTEST_HOST_PROCESS_H

#include <string>
#include <vector>

namespace ktzhosttest
{

struct Proc
{
    int exitCode = -1; // -1 when the command could not run or did not exit
    std::string out;
    std::string err;
};

// `s` as one single-quoted shell word.
std::string Quote(const std::string& s);

// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);

// A path under $TMPDIR (or /tmp) unique to this process and `name`.
std::string TempPath(const std::string& name);

// Runs `command` through the shell with standard input from /dev/null and
// collects standard output, standard error and the exit status.
Proc RunShell(const std::string& command);

// Runs ktzmon-host (through the emulator in a cross build) with `args`;
// `env` is prepended as VAR=value words.
Proc RunHost(const std::vector<std::string>& args, const std::string& env = "");

} // namespace ktzhosttest

#endif
