// A long-running program started from a test (a daemon, an exporter, a
// Prometheus server, a watching client) with its output appended to a log
// file, so that it never stalls on a pipe nobody reads; waited for by what
// it writes there, and stopped with SIGTERM and a deadline. Killed and
// reaped at the end if still running.
#ifndef KTZTEST_LOGGED_PROCESS_H
#define KTZTEST_LOGGED_PROCESS_H

#include "support/child_process.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace ktztest
{

class LoggedProcess
{
  public:
    // Starts argv[0] (a path) with standard output, and standard error when
    // `withErrors`, appended to `logPath`; standard input is /dev/null.
    bool Start(const std::vector<std::string>& argv, const std::string& logPath, bool withErrors = true);
    pid_t pid() const { return child_.pid(); }
    bool Running() { return !child_.TryReap(); }
    // The exit status of a program that ended by itself, once reaped (-1
    // when still running or ended by a signal).
    int exitCode() const { return child_.exitCode(); }
    // Waits at most `timeoutMs` for the end; the exit status, or -1.
    int Wait(int timeoutMs) { return child_.Wait(timeoutMs); }
    // SIGTERM, then the end within `timeoutMs`: the exit status, or -1 when
    // it did not end in time (it is then killed) or a signal ended it.
    int Stop(int timeoutMs);

    std::string Log() const;
    // Waits until the log holds `text`; false at the deadline, or when the
    // program ended without writing it.
    bool WaitLog(const std::string& text, int timeoutMs);

  private:
    ChildProcess child_;
    std::string log_;
};

} // namespace ktztest

#endif
