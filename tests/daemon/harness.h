// Test harness for ktzmond: starts the daemon as a real process on a Unix
// socket in a private directory, talks to its control socket, and a small
// blocking client built on the frame codec. Every wait has a deadline.
#ifndef KTZMOND_TEST_HARNESS_H
#define KTZMOND_TEST_HARNESS_H

#include "support/child_process.h"
#include "support/files.h"
#include "support/http.h"
#include "support/piped_process.h"
#include "support/temp_dir.h"
#include "support/wait.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <frame.h>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ktzmond_test
{

// The shared helpers under the names the daemon's tests use.
using ktztest::FreePort;
using ktztest::NowMs;
using ktztest::ReadFile;
using ktztest::TempDir;

class Daemon
{
  public:
    explicit Daemon(const std::string& dir) : dir_(dir) {} // SIGKILLed at the end if still running
    // Starts ktzmond with `args` (plus --socket, --quiet and --module) and
    // waits until its control socket answers. False when it did not; when it
    // exited instead, earlyExit() is its exit status.
    bool Start(const std::vector<std::string>& args, int timeoutMs = 10000);
    // Set before Start: the daemon's limit of open descriptors (0: unchanged).
    int fdLimit = 0;
    // Set before Start: the environment variables given to the daemon
    // (NAME=value, replacing this process's).
    std::vector<std::string> env;
    int earlyExit() const { return earlyExit_; }
    // Sends SIGTERM and waits for the exit; returns the exit status (-1 when
    // it did not exit in time or died from a signal) and the time it took.
    int Terminate(int timeoutMs, double* seconds = nullptr);
    // Starts it on `scenario` (by default the quiet chassis) 50 times faster
    // than real time and waits until the sensor types attached and a pass followed.
    bool StartQuiet(std::vector<std::string> args = {}, std::string scenario = "");
    // Waits for the exit of a daemon that ends by itself.
    int Wait(int timeoutMs);
    pid_t pid() const { return child_.pid(); }
    std::string socket() const { return (socketDir.empty() ? dir_ : socketDir) + "/d.sock"; }
    std::string control() const { return (socketDir.empty() ? dir_ : socketDir) + "/d.ctl"; }
    // Set before Start: the folder of the sockets, when not the daemon's folder.
    std::string socketDir;
    std::string log() const; // what the daemon wrote to stderr

    // One control request; the reply (an object with "ok": false on failure
    // to reach the daemon).
    nlohmann::json Ctl(const nlohmann::json& request, int timeoutMs = 10000);
    // The same with the request line as given (any bytes, no newline).
    nlohmann::json CtlLine(const std::string& line, int timeoutMs = 10000);
    // ktzmonctl with `args` on this daemon's control socket, run to its end.
    ktztest::RunResult RunCtl(const std::vector<std::string>& args, int timeoutMs = 30000) const;
    // Polls status until `pred` holds, at most `timeoutMs`.
    template <typename Pred> bool WaitStatus(Pred pred, int timeoutMs = 10000);

  private:
    std::string dir_;
    ktztest::ChildProcess child_;
    int earlyExit_ = -1; // -1: did not exit by itself, or died from a signal
};

// The fixture of the daemon's process tests: a private folder and the
// daemon in it, which the test starts; still running at the end it is
// stopped with SIGTERM and must exit cleanly. A failed test shows its log.
class DaemonTest : public ::testing::Test
{
  protected:
    void TearDown() override;
    TempDir dir;
    Daemon daemon{dir.path()};
};

// Frames as the tests see them.
struct Received
{
    uint32_t type = 0; // request type of a Message
    uint32_t seq = 0;
    uint32_t responseSize = 0;
    uint32_t flags = 0;
    std::vector<uint8_t> payload;
};

class Client
{
  public:
    Client() = default;
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connect(const std::string& path);
    bool ConnectTcp(uint16_t port);
    void Close();
    int fd() const { return fd_; }

    bool SendRaw(const std::vector<uint8_t>& bytes);
    // A version 1 hello, or with `caps` set a version 2 one stating them.
    bool SendHello(uint32_t requestedId = 0, const std::string& name = "test");
    std::optional<uint32_t> caps; // set: the hellos offer version 2 with this mask
    // Hello, then the Welcome; false (and the goodbye's reason in `refused`
    // when one came) otherwise.
    bool Handshake(uint32_t* clientId = nullptr, uint32_t requestedId = 0, uint32_t* refused = nullptr);
    // Next frame within the deadline; false on timeout, end of stream or a
    // malformed stream.
    bool Read(ktztransport::Frame* f, int timeoutMs);
    // Reads frames until one of `type` (in *f); false when none came in time.
    bool ReadFrame(uint16_t type, ktztransport::Frame* f, int timeoutMs);
    // Reads Messages until one of `type` (included), answering a capability
    // query with `caps` when `answer` is set. Other frames are kept in `other`.
    bool ReadUntil(uint32_t type, std::vector<Received>* out, int timeoutMs, uint32_t caps = 0x1,
                   bool answer = true);
    // Reads until a Goodbye; returns its reason, or -1 when none came.
    int ExpectGoodbye(int timeoutMs, std::string* text = nullptr);
    bool AnswerCaps(uint32_t seq, uint32_t caps);

  private:
    int fd_ = -1;
    ktztransport::FrameReader reader_;
};

// The repository's build products.
std::string DaemonExe();
std::string ModulePath();
std::string HostExe();
std::string SourceDir();
// A process's resident memory in KiB and the CPU time it used in
// milliseconds (from /proc; -1 when unknown).
int64_t RssKb(pid_t pid);
int64_t CpuMs(pid_t pid);
// The demonstration chassis without its clients and timeline: it changes
// only when a test changes it.
std::string QuietScenario();
// Writes `text` to DIR/NAME; returns the path ("" when it could not be written).
std::string WriteFile(const std::string& dir, const std::string& name, const std::string& text);
// Under ThreadSanitizer the large counts are made smaller.
bool UnderTsan();

template <typename Pred> bool Daemon::WaitStatus(Pred pred, int timeoutMs)
{
    return ktztest::WaitUntil(
        [&]
        {
            const nlohmann::json s = Ctl({{"cmd", "status"}}, 2000);
            return s.value("ok", false) && pred(s);
        },
        timeoutMs);
}

} // namespace ktzmond_test

#endif
