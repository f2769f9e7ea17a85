// A child process for the client tests: started with its standard output
// (and optionally its standard error) on pipes, read line by line with a
// time limit, waited for with a time limit, and killed if it is still
// running when the object goes away.
#ifndef KTZCLIENT_TEST_CHILD_H
#define KTZCLIENT_TEST_CHILD_H

#include "child_process.h"

#include <string>
#include <sys/types.h>
#include <vector>

class Child
{
  public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Starts argv[0] with the arguments; false when it could not be started.
    bool Start(const std::vector<std::string>& argv);
    // The next line of standard output (without its newline); false at the
    // end of the output or when none came within `timeoutMs`.
    bool ReadLine(std::string* line, int timeoutMs);
    // Reads lines until one starts with `prefix`; every line read is kept.
    bool WaitFor(const std::string& prefix, std::string* line, int timeoutMs);
    // Everything printed on standard output until it closes (at most
    // `timeoutMs`), including the lines read before.
    std::string AllOutput(int timeoutMs);
    std::string Errors(int timeoutMs); // standard error, until it closes
    // The exit status (0..255), 128 + signal when killed by one, or -1 when
    // it did not end within `timeoutMs` (it is then killed).
    int Wait(int timeoutMs);
    void Kill();
    pid_t Pid() const { return child_.pid(); }

  private:
    bool Fill(int fd, std::string* buf, int timeoutMs);
    ktzhosttest::ChildProcess child_;
    int out_ = -1;
    int err_ = -1;
    std::string outBuf_;
    std::string errBuf_;
    std::string seen_;
};

#endif
