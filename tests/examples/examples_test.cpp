// The examples of docs/client.md (a poll() loop and an sd-event loop) as
// real processes against a real ktzmond that is absent, comes, stalls,
// restarts and goes: they wait, connect, follow, reconnect and stop on
// SIGINT at once, and cost next to no CPU while idle or waiting.
//
// The CPU window is KTZC_CPU_WINDOW_MS (default 2000) for the idle connected
// client and as much again for the waiting one; docs/client.md records a
// 30-second run:
//   KTZC_CPU_WINDOW_MS=30000 build/native/tests/examples/client_examples_test
#include "support/piped_process.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <signal.h>
#include <string>
#include <thread>

namespace
{

using Child = ktztest::PipedProcess;
using ktzmond_test::Daemon;
using ktzmond_test::TempDir;
constexpr int kLineMs = 20000;

int CpuWindowMs()
{
    const char* w = std::getenv("KTZC_CPU_WINDOW_MS");
    const int ms = w != nullptr ? std::atoi(w) : 0;
    return ms > 0 ? ms : 2000;
}

// Nanoseconds the process's main thread has been on a CPU (the examples
// have no other thread).
long long CpuNs(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = -1;
    in >> ns;
    return ns;
}

// What the process used of one core over `ms`: the share in per cent and
// the time in microseconds.
struct CpuUse
{
    double percent = 100.0;
    long long us = -1;
};

CpuUse CpuOver(pid_t pid, int ms)
{
    const long long before = CpuNs(pid);
    const int64_t t0 = ktztest::NowMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    const long long used = CpuNs(pid) - before;
    CpuUse u;
    if (before >= 0)
    {
        u.percent = 100.0 * static_cast<double>(used) / (static_cast<double>(ktztest::NowMs() - t0) * 1e6);
        u.us = used / 1000;
    }
    return u;
}

class ExampleTest : public ::testing::TestWithParam<const char*>
{
  protected:
    bool StartDaemon(Daemon& d)
    {
        return d.Start({"--speed", "20", ktzmond_test::SourceDir() + "/tests/examples/quiet.toml"});
    }
};

TEST_P(ExampleTest, FollowsTheDaemonThroughAbsenceStallAndRestart)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    Daemon d(dir.path());
    Child ex;
    ASSERT_TRUE(ex.Start({GetParam(), d.socket()}));
    std::string line;
    ASSERT_TRUE(ex.WaitFor("waiting for the daemon: connecting to " + d.socket(), &line, kLineMs))
        << ex.out() << ex.err();
    const CpuUse absent = CpuOver(ex.pid(), CpuWindowMs());

    ASSERT_TRUE(StartDaemon(d)) << d.log();
    ASSERT_TRUE(ex.WaitFor("connected as client 1", nullptr, kLineMs)) << ex.out();
    ASSERT_TRUE(ex.WaitFor("data-sync-complete", nullptr, kLineMs)) << ex.out();
    const CpuUse idle = CpuOver(ex.pid(), CpuWindowMs());

    // A stalled daemon: nothing comes, and the client carries on after it.
    ASSERT_EQ(::kill(d.pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(::kill(d.pid(), SIGCONT), 0);
    ASSERT_TRUE(d.Ctl({{"cmd", "set-fan"}, {"fan", 1}, {"reading", 4321}}).value("ok", false));
    ASSERT_TRUE(
        ex.WaitFor("sensor-data fan #1 'Fan1A' presence=1 status=normal reading=4321", nullptr, kLineMs))
        << ex.out();

    // A restart: the goodbye, then the reconnect.
    ASSERT_EQ(d.Terminate(kLineMs), 0);
    ASSERT_TRUE(ex.WaitFor("disconnected: the daemon said goodbye: daemon shutting down (reason 1)", nullptr,
                           kLineMs))
        << ex.out();
    ASSERT_TRUE(StartDaemon(d)) << d.log();
    ASSERT_TRUE(ex.WaitFor("reconnected as client 1", nullptr, kLineMs)) << ex.out();

    // Gone again: SIGINT while the client waits for it ends the run at once.
    ASSERT_EQ(d.Terminate(kLineMs), 0);
    ASSERT_TRUE(ex.WaitFor("disconnected:", nullptr, kLineMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // into the back-off
    const int64_t t0 = ktztest::NowMs();
    ASSERT_EQ(::kill(ex.pid(), SIGINT), 0);
    ASSERT_TRUE(ex.WaitFor("stopping", nullptr, kLineMs)) << ex.out();
    const long stopMs = static_cast<long>(ktztest::NowMs() - t0);
    EXPECT_EQ(ex.Wait(kLineMs), 0) << ex.err();
    EXPECT_LT(stopMs, 100);
    EXPECT_LT(absent.percent, 0.1);
    EXPECT_LT(idle.percent, 0.1);
    std::printf("%s: SIGINT answered in %ld ms; CPU over %d ms: %.4f%% (%lld us) waiting for the daemon, "
                "%.4f%% (%lld us) connected and idle\n",
                GetParam(), stopMs, CpuWindowMs(), absent.percent, absent.us, idle.percent, idle.us);
}

std::vector<const char*> Examples()
{
    std::vector<const char*> v{KTZC_EXAMPLE_POLL};
#ifdef KTZC_EXAMPLE_SDEVENT
    v.push_back(KTZC_EXAMPLE_SDEVENT);
#endif
    return v;
}

std::string Name(const ::testing::TestParamInfo<const char*>& info)
{
    return std::string(info.param).find("sdevent") != std::string::npos ? "SdEvent" : "Poll";
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleTest, ::testing::ValuesIn(Examples()), Name);

} // namespace
