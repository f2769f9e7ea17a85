// ktzmond as a child process of the live benchmark: started in a private
// directory, asked over its control socket (one JSON line per request on a
// connection kept open), measured through /proc, and stopped. Every wait has
// a deadline; the destructor kills a daemon that is still running.
#ifndef KTZBENCH_LIVE_DAEMON_H
#define KTZBENCH_LIVE_DAEMON_H

#include "support/child_process.h"
#include "support/temp_dir.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ktzbench
{

class DaemonProcess
{
  public:
    DaemonProcess(std::string exe, std::string dir) : exe_(std::move(exe)), dir_(std::move(dir)) {}
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    // Starts the daemon with `args` after --socket and --control-socket in
    // the directory and --quiet; its standard error goes to d.log there.
    // Waits until the module runs and the control connection is open.
    bool Start(const std::vector<std::string>& args, int64_t timeoutMs, std::string* error);
    // SIGTERM, then the exit within the time (SIGKILL after it); true when
    // it exited with status 0.
    bool Stop(int64_t timeoutMs);

    std::string socket() const { return dir_ + "/d.sock"; }
    pid_t pid() const { return child_.pid(); }
    // Resident set size from /proc/PID/status, in bytes (0 when unknown).
    uint64_t RssBytes() const;
    std::string Log() const;

    // Sends one request line without waiting for the reply.
    bool Send(const nlohmann::json& request, std::string* error);
    // Reads the next reply line; `ok` false in it when none came in time.
    nlohmann::json Reply(int64_t timeoutMs);
    nlohmann::json Ctl(const nlohmann::json& request, int64_t timeoutMs);

  private:
    bool OpenControl();
    std::string exe_;
    std::string dir_;
    ktztest::ChildProcess child_;
    int ctl_ = -1;
    std::string pending_; // bytes of replies read and not yet returned
};

} // namespace ktzbench

#endif
