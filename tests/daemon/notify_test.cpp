// ktzmond's reports to the service manager: with NOTIFY_SOCKET naming a
// datagram socket this test owns, the daemon says READY=1 once, when clients
// are served, and STOPPING=1 when SIGTERM stops it; a daemon whose module
// cannot be loaded never claims to be ready.
#include "support/piped_process.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

using namespace ktzmond_test;

constexpr uint32_t kSettingType = 0x100;

// The service manager's end: a bound Unix datagram socket.
class NotifySocket
{
  public:
    explicit NotifySocket(const std::string& path) : path_(path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() >= sizeof addr.sun_path)
        {
            return;
        }
        path.copy(addr.sun_path, path.size());
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~NotifySocket()
    {
        if (fd_ >= 0)
        {
            ::close(fd_);
        }
        ::unlink(path_.c_str());
    }
    bool bound() const { return bound_; }

    // The next datagram within `timeoutMs`; false when none came.
    bool Receive(std::string* msg, int timeoutMs)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) != 1)
        {
            return false;
        }
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0)
        {
            return false;
        }
        msg->assign(buf, static_cast<size_t>(n));
        return true;
    }

    // Datagrams until one holds `line` as one of its lines, at most
    // `timeoutMs` and 100 datagrams; every datagram read goes to `seen`.
    bool ReceiveLine(const std::string& line, std::vector<std::string>* seen, int timeoutMs)
    {
        const int64_t end = NowMs() + timeoutMs;
        for (int i = 0; i < 100; ++i)
        {
            const int64_t left = end - NowMs();
            std::string msg;
            if (left <= 0 || !Receive(&msg, static_cast<int>(left)))
            {
                return false;
            }
            seen->push_back(msg);
            if (HasLine(msg, line))
            {
                return true;
            }
        }
        return false;
    }

    static bool HasLine(const std::string& msg, const std::string& line)
    {
        return ("\n" + msg + "\n").find("\n" + line + "\n") != std::string::npos;
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

// NOTIFY_SOCKET set for the daemons this test starts, and only for them.
class NotifyEnv
{
  public:
    explicit NotifyEnv(const std::string& path) { ::setenv("NOTIFY_SOCKET", path.c_str(), 1); }
    ~NotifyEnv() { ::unsetenv("NOTIFY_SOCKET"); }
};

TEST(DaemonNotify, ReadyWhenServingAndStoppingOnSigterm)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    NotifySocket notify(dir.path() + "/notify");
    ASSERT_TRUE(notify.bound());
    NotifyEnv env(dir.path() + "/notify");

    Daemon daemon(dir.path());
    ASSERT_TRUE(daemon.Start({})) << daemon.log();

    std::vector<std::string> seen;
    ASSERT_TRUE(notify.ReceiveLine("READY=1", &seen, 10000)) << daemon.log();
    // Ready means served: a client gets its welcome and the module's first
    // message to it, the KTZ setting.
    Client c;
    ASSERT_TRUE(c.Connect(daemon.socket()));
    ASSERT_TRUE(c.Handshake());
    std::vector<Received> got;
    ASSERT_TRUE(c.ReadUntil(kSettingType, &got, 10000));
    c.Close();

    // The datagram stays queued after the daemon exits.
    ASSERT_EQ(daemon.Terminate(15000), 0) << daemon.log();
    std::vector<std::string> after;
    ASSERT_TRUE(notify.ReceiveLine("STOPPING=1", &after, 5000)) << daemon.log();
    for (const std::string& msg : after)
    {
        EXPECT_FALSE(NotifySocket::HasLine(msg, "READY=1")) << "a second READY=1: " << msg;
    }
    // The ready message says where clients are served.
    EXPECT_NE(seen.back().find("STATUS=serving clients on " + daemon.socket()), std::string::npos)
        << seen.back();
}

// A module that cannot be loaded: the daemon's sockets were already listening,
// but it must not report itself ready before it exits with a failure.
TEST(DaemonNotify, NoReadyWhenTheModuleFails)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    NotifySocket notify(dir.path() + "/notify");
    ASSERT_TRUE(notify.bound());
    const std::string notifyEnv = "NOTIFY_SOCKET=" + dir.path() + "/notify";

    const ktztest::RunResult r = ktztest::RunProgram(
        {DaemonExe(), "--socket", dir.File("d.sock"), "--quiet", "--module", dir.File("no-such-module.so")},
        {.env = {notifyEnv}}, 15000);
    ASSERT_NE(r.status, -1) << "the daemon did not exit with its module missing";
    ASSERT_LT(r.status, 1000) << "ended by signal " << r.status - 1000;
    EXPECT_NE(r.status, 0);
    std::string msg;
    for (int i = 0; i < 100 && notify.Receive(&msg, 0); ++i)
    {
        EXPECT_FALSE(NotifySocket::HasLine(msg, "READY=1")) << msg;
    }
}

} // namespace
