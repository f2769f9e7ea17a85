// The child-process helper where it can go wrong: a child that outlives a
// bounded wait or ignores SIGTERM, is still reaped when the object goes, and
// one that cannot be started leaves nothing running.
#include "child_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace
{

using ktzhosttest::ChildProcess;
using ktzhosttest::SpawnOptions;
using Clock = std::chrono::steady_clock;

// True when `pid` names no process at all (a zombie still does).
bool Gone(pid_t pid)
{
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

TEST(ChildProcess, BoundedWaitLeavesTheChildAndTheDestructorReapsIt)
{
    pid_t pid = -1;
    {
        ChildProcess child;
        ASSERT_TRUE(child.Spawn({"/bin/sleep", "30"}));
        pid = child.pid();
        const auto start = Clock::now();
        EXPECT_EQ(child.Wait(100), -1);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
        EXPECT_TRUE(child.running());
        EXPECT_FALSE(Gone(pid));
    }
    EXPECT_TRUE(Gone(pid));
}

TEST(ChildProcess, TermIgnoredThenKilled)
{
    int up[2];
    ASSERT_EQ(::pipe2(up, O_CLOEXEC), 0);
    SpawnOptions options;
    options.outFd = up[1];
    ChildProcess child;
    const bool started = child.Spawn({"/bin/sh", "-c", "trap '' TERM; echo up; sleep 30"}, options);
    ::close(up[1]);
    // The shell says when its trap is set: SIGTERM before that would end it.
    pollfd p{up[0], POLLIN, 0};
    char c = 0;
    const bool ready = ::poll(&p, 1, 10000) == 1 && ::read(up[0], &c, 1) == 1 && c == 'u';
    ::close(up[0]);
    ASSERT_TRUE(started);
    ASSERT_TRUE(ready);
    EXPECT_EQ(child.Terminate(200), -1);
    ASSERT_TRUE(child.running());
    const pid_t pid = child.pid();
    child.Kill();
    EXPECT_FALSE(child.running());
    EXPECT_EQ(child.exitCode(), -1);
    EXPECT_EQ(child.termSignal(), SIGKILL);
    EXPECT_TRUE(Gone(pid));
}

TEST(ChildProcess, AProgramThatCannotStartLeavesNothingRunning)
{
    ChildProcess child;
    EXPECT_FALSE(child.Spawn({"/nonexistent/program"}));
    EXPECT_EQ(child.spawnError(), ENOENT);
    EXPECT_FALSE(child.running());
    EXPECT_EQ(child.Wait(100), -1);
    EXPECT_FALSE(child.Spawn({}));
    EXPECT_FALSE(child.running());
}

} // namespace
