// A child process for tests: started with posix_spawn, its standard streams
// taken from files or descriptors, waited for with a deadline, and killed and
// reaped if it is still running when the object goes away.
#ifndef KTZTEST_CHILD_PROCESS_H
#define KTZTEST_CHILD_PROCESS_H

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ktztest
{

struct SpawnOptions
{
    // Files for standard input, output and error; "" leaves the stream as
    // this process has it, unless a descriptor below is given.
    std::string in;
    std::string out;
    std::string err;
    bool append = false;     // output and error files are appended to, not truncated
    bool errToOut = false;   // standard error goes where standard output goes
    int inFd = -1;           // descriptors put in place of the streams (pipe ends);
    int outFd = -1;          // open them close-on-exec so that only the copy
    int errFd = -1;          // reaches the child
    bool searchPath = false; // look argv[0] up in PATH
    bool newSession = false; // the child leads a session of its own (setsid)
    // The child's whole environment; none: this process's.
    std::optional<std::vector<std::string>> env;
};

// This process's environment with each NAME=value of `vars` in place of the
// variable of that name.
std::vector<std::string> EnvironWith(const std::vector<std::string>& vars);

class ChildProcess
{
  public:
    ChildProcess() = default;
    ~ChildProcess(); // SIGKILL and reap if still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv; false (and the reason in spawnError()) when it could not be.
    bool Spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});
    int spawnError() const { return spawnError_; }
    // The running child's id; -1 before a start and once it was reaped.
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    // Reaps the child if it has ended, without waiting; true once it was.
    bool TryReap();
    // The exit status once reaped, -1 when it died from a signal or was not reaped.
    int exitCode() const;
    // The signal that ended it, or 0.
    int termSignal() const;
    // Waits at most `timeoutMs` for the end; exitCode(), or -1 when it is
    // still running (it is left so).
    int Wait(int timeoutMs);
    void Signal(int sig) const;
    // SIGTERM, then Wait(timeoutMs).
    int Terminate(int timeoutMs);
    // SIGKILL and reap.
    void Kill();

  private:
    void Reaped(int status);
    pid_t pid_ = -1;
    int status_ = -1; // the wait status once reaped
    int spawnError_ = 0;
};

} // namespace ktztest

#endif
