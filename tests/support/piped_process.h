// A program run from a test with its standard streams on pipes: standard
// input fed from a string, standard output and error read as they come (so
// that neither pipe can fill up and stall the child), lines and text waited
// for with a deadline, and the end waited for with a deadline. A child still
// running when the object goes is killed and reaped.
#ifndef KTZTEST_PIPED_PROCESS_H
#define KTZTEST_PIPED_PROCESS_H

#include "support/child_process.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ktztest
{

struct PipeOptions
{
    std::string input;            // written to standard input, which is then closed
    std::vector<std::string> env; // NAME=value in place of this process's variables
    bool searchPath = false;      // look argv[0] up in PATH
};

class PipedProcess
{
  public:
    PipedProcess() = default;
    ~PipedProcess();
    PipedProcess(const PipedProcess&) = delete;
    PipedProcess& operator=(const PipedProcess&) = delete;

    // Starts argv; false (and the reason in spawnError()) when it could not be.
    bool Start(const std::vector<std::string>& argv, const PipeOptions& options = {});
    int spawnError() const { return child_.spawnError(); }
    pid_t pid() const { return child_.pid(); }

    // The next line of standard output not returned yet, without its
    // newline; false at the end of the output or when none came in time.
    bool ReadLine(std::string* line, int timeoutMs);
    // Reads lines until one starts with `prefix` (that line in *line).
    bool WaitFor(const std::string& prefix, std::string* line, int timeoutMs);
    // Reads until `pred(out())` holds; false when the output ended first or
    // the time passed.
    bool ReadUntil(const std::function<bool(const std::string&)>& pred, int timeoutMs);
    // Reads both streams to their end and waits for the exit, at most
    // `timeoutMs` in all. The exit status; 1000 + the signal when one ended
    // it (never mistaken for an exit status); -1 when it was still running
    // at the deadline (it is then killed).
    int Wait(int timeoutMs);

    // Everything read so far from standard output and standard error.
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

    void Signal(int sig) const { child_.Signal(sig); }
    void Kill();

  private:
    bool Pump(int timeoutMs); // one poll of the pipes; false once all are closed
    void CloseAll();
    ChildProcess child_;
    int inFd_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string input_;
    size_t written_ = 0;
    std::string out_;
    std::string err_;
    size_t lineStart_ = 0; // where ReadLine goes on in out_
};

struct RunResult
{
    int status = -1; // as PipedProcess::Wait
    std::string out;
    std::string err;
};

// Runs argv to its end, at most `timeoutMs`.
RunResult RunProgram(const std::vector<std::string>& argv, const PipeOptions& options = {},
                     int timeoutMs = 120000);

// The full path of a program found in PATH, or "".
std::string FindProgram(const std::string& name);

// The words of `s` split at spaces (an emulator command line, say).
std::vector<std::string> Words(const std::string& s);

} // namespace ktztest

#endif
