// ktzmond's reports to the service manager: with NOTIFY_SOCKET naming a
// datagram socket this test owns, the daemon says READY=1 once, when clients
// are served, and STOPPING=1 when SIGTERM stops it; a daemon whose module
// cannot be loaded never claims to be ready.
#include "support/notify_socket.h"
#include "support/piped_process.h"

#include "harness.h"

#include <gtest/gtest.h>

namespace
{

using namespace ktzmond_test;
using ktztest::NotifyEnv;
using ktztest::NotifySocket;

constexpr uint32_t kSettingType = 0x100;

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
    std::string msg = notify.Receive(0);
    for (int i = 0; i < 100 && !msg.empty(); ++i, msg = notify.Receive(0))
    {
        EXPECT_FALSE(NotifySocket::HasLine(msg, "READY=1")) << msg;
    }
}

} // namespace
