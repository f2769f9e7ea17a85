// The child-process helper where it can go wrong: a child that outlives a
// bounded wait or ignores SIGTERM, is still reaped when the object goes, and
// one that cannot be started leaves nothing running.
#include "child_process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
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
    ChildProcess child;
    ASSERT_TRUE(
        child.Spawn({"/bin/sh", "-c", "trap '' TERM; echo up; sleep 30"}, SpawnOptions{.out = "/dev/null"}));
    // Give the shell time to set its trap: SIGTERM before it would end it.
    ::usleep(300 * 1000);
    EXPECT_EQ(child.Terminate(200), -1);
    ASSERT_TRUE(child.running());
    const pid_t pid = child.pid();
    child.Kill();
    EXPECT_FALSE(child.running());
    EXPECT_EQ(child.exitCode(), -1);
    EXPECT_EQ(child.termSignal(), SIGKILL);
    EXPECT_TRUE(Gone(pid));
}

TEST(ChildProcess, ExitStatusStreamsAndEnvironment)
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr ? base : "/tmp") + "/ktz-child-XXXXXX";
    char* path = tmpl.data();
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    SpawnOptions options;
    options.out = path;
    options.errToOut = true;
    options.searchPath = true;
    options.env = ktzhosttest::EnvironWith({"KTZ_CHILD_WORD=replaced", "PATH=/usr/bin:/bin"});
    ChildProcess child;
    ASSERT_TRUE(child.Spawn({"sh", "-c", "echo out $KTZ_CHILD_WORD; echo err >&2; exit 3"}, options));
    EXPECT_EQ(child.Wait(10000), 3);
    EXPECT_EQ(child.termSignal(), 0);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "out replaced\nerr\n");
    std::remove(path);
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
