// Processes and HTTP for the exporter's tests: a program started with its
// standard error in a file and stopped by signal, a program run to its end
// with a given standard input, and a plain HTTP GET on loopback. Every wait
// has a deadline.
#ifndef KTZEXPORTER_TEST_PROCESS_H
#define KTZEXPORTER_TEST_PROCESS_H

#include "child_process.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ktzexporter_test
{

class Process
{
  public:
    // Killed and reaped at the end if still running.

    // Starts argv[0] (a path) with standard error (and output) appended to
    // `logPath`. False when it could not be started.
    bool Start(const std::vector<std::string>& argv, const std::string& logPath);
    // SIGTERM, then waits; the exit status, or -1 when it did not exit in
    // time (it is then killed) or died from a signal.
    int Stop(int timeoutMs);
    bool Running();
    std::string Log() const;
    // Waits until the log holds `text`; false at the deadline or when the
    // process ended first.
    bool WaitLog(const std::string& text, int timeoutMs);

  private:
    ktzhosttest::ChildProcess child_;
    std::string log_;
};

// Runs argv to its end with `input` on its standard input; its standard
// output goes to *output (may be null). The exit status, or -1 on a timeout
// (the process is killed) or a signal.
int RunProgram(const std::vector<std::string>& argv, const std::string& input, std::string* output,
               int timeoutMs);

// GET http://127.0.0.1:PORT/PATH; the body when the status is 200, with
// *ok set; else *ok false.
std::string HttpGet(uint16_t port, const std::string& path, bool* ok, int timeoutMs = 5000);

// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FreePort();

// The full path of a program found in PATH, or "".
std::string FindProgram(const std::string& name);

} // namespace ktzexporter_test

#endif
