// The process support where it can go wrong: a child that outlives a
// bounded wait or ignores SIGTERM is still reaped when the object goes, one
// that cannot be started leaves nothing running, pipes that carry more than
// they hold do not stall a child, a signal is not taken for an exit status,
// and private folders stay short enough for socket paths.
#include "support/child_process.h"
#include "support/piped_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

using ktztest::ChildProcess;
using ktztest::PipedProcess;
using ktztest::SpawnOptions;
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
    ChildProcess child;
    const bool started =
        child.Spawn({"/bin/sh", "-c", "trap '' TERM; echo up; exec sleep 30"}, {.outFd = up[1]});
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

TEST(PipedProcess, StreamsLargerThanAPipeSignalsAndTimeLimits)
{
    // A megabyte through cat: written and read together, nothing stalls.
    std::string big(1 << 20, 'x');
    for (size_t i = 0; i < big.size(); i += 4096)
    {
        big[i] = '\n';
    }
    const ktztest::RunResult echo = ktztest::RunProgram({"/bin/cat"}, {.input = big}, 60000);
    EXPECT_EQ(echo.status, 0);
    EXPECT_EQ(echo.out, big);

    // Both streams, an exit status of 143 and death by SIGTERM kept apart.
    const ktztest::RunResult exited =
        ktztest::RunProgram({"/bin/sh", "-c", "echo out; echo err >&2; exit 143"}, {}, 60000);
    EXPECT_EQ(exited.status, 143);
    EXPECT_EQ(exited.out, "out\n");
    EXPECT_EQ(exited.err, "err\n");
    EXPECT_EQ(ktztest::RunProgram({"/bin/sh", "-c", "kill -TERM $$"}, {}, 60000).status, 1000 + SIGTERM);

    // Lines as they come, then a child still running at the deadline is killed.
    PipedProcess p;
    ASSERT_TRUE(p.Start({"/bin/sh", "-c", "echo one; echo two; exec sleep 30"}));
    std::string line;
    ASSERT_TRUE(p.WaitFor("tw", &line, 10000));
    EXPECT_EQ(line, "two");
    const pid_t pid = p.pid();
    const auto start = Clock::now();
    EXPECT_EQ(p.Wait(200), -1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(Gone(pid));
}

TEST(TempDir, ShortEnoughForASocketWhateverTmpdirIsAndRemovedAtTheEnd)
{
    const char* saved = std::getenv("TMPDIR");
    const std::string restore = saved != nullptr ? saved : "";
    ktztest::TempDir deep;
    const std::string longBase = deep.path() + "/" + std::string(100, 'd');
    ASSERT_TRUE(std::filesystem::create_directories(longBase));
    std::string made;
    for (const std::string& base : {longBase, std::string("relative"), deep.path()})
    {
        SCOPED_TRACE(base);
        ::setenv("TMPDIR", base.c_str(), 1);
        {
            ktztest::TempDir dir;
            made = dir.path();
            ASSERT_FALSE(made.empty());
            EXPECT_TRUE(std::filesystem::is_directory(made));
            EXPECT_LT(dir.File("a-socket-name.sock").size(), sizeof(sockaddr_un::sun_path));
            // A short $TMPDIR is used as it is; any other gives way to /tmp.
            EXPECT_EQ(made.rfind((base == deep.path() ? base : std::string("/tmp")) + "/ktztest-", 0), 0u);
            std::ofstream(dir.File("left")) << "behind";
        }
        EXPECT_FALSE(std::filesystem::exists(made));
    }
    // A folder asked for under a given base is made there.
    const ktztest::TempDir under(deep.path());
    EXPECT_EQ(under.path().rfind(deep.path() + "/ktztest-", 0), 0u) << under.path();
    if (saved != nullptr)
    {
        ::setenv("TMPDIR", restore.c_str(), 1);
    }
    else
    {
        ::unsetenv("TMPDIR");
    }
}

} // namespace
