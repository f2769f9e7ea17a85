// Running ktzmon-host as a process from a test (through the emulator in a
// cross build), and what the host's tests share: a private folder for their
// files, the README's example scenario.
#ifndef KTZHOSTTEST_HOST_PROCESS_H
#define KTZHOSTTEST_HOST_PROCESS_H

#include "support/piped_process.h"

#include <string>
#include <vector>

namespace ktzhosttest
{

// The command line that runs ktzmon-host with `args`.
std::vector<std::string> HostArgv(const std::vector<std::string>& args);

// Runs ktzmon-host with `args` to its end (at most five minutes: the
// emulated build on a loaded machine is slow).
ktztest::RunResult RunHost(const std::vector<std::string>& args, const ktztest::PipeOptions& options = {});

// A path named `name` in a private folder of this test process, removed
// with it when the process ends.
std::string TempPath(const std::string& name);

// The README's first TOML block: the scenario it offers to start from.
std::string ReadmeExample();

} // namespace ktzhosttest

#endif
