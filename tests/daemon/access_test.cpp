// Who reaches ktzmond, and where: the socket folder (the user's own, created
// only when it is the daemon's runtime folder), the lock that keeps a second
// daemon off a path, the socket's mode and group following the allow-lists,
// and the same lists over TCP. Clients of other users run as real processes
// under setpriv, so those cases need root; they are skipped without it.
#include "support/piped_process.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

using namespace ktzmond_test;
using Child = ktztest::PipedProcess;
using nlohmann::json;

constexpr uid_t kNobody = 65534;

mode_t ModeOf(const std::string& path, gid_t* group = nullptr)
{
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) != 0)
    {
        return 0;
    }
    if (group != nullptr)
    {
        *group = st.st_gid;
    }
    return st.st_mode & 07777;
}

// What a version 2 hello from user `uid` (group `gid`) gets on `address`
// (a socket path or tcp:PORT): "welcomed", "goodbye N" or "no connection".
std::string HelloAs(uid_t uid, gid_t gid, const std::string& address)
{
    Child c;
    const std::string ids = std::to_string(uid);
    if (!c.Start({"/usr/bin/setpriv", "--reuid=" + ids, "--regid=" + std::to_string(gid), "--clear-groups",
                  KTZMOND_ATTACKER, address, "hello"}))
    {
        return "not started";
    }
    std::string line;
    return c.ReadLine(&line, 10000) ? line : "no answer: " + c.err();
}

class AccessTest : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        if (HasFailure())
        {
            std::fprintf(stderr, "---- daemon log ----\n%s\n", daemon.log().c_str());
        }
    }
    static bool Root() { return ::geteuid() == 0; }
    // Other users must be able to reach the sockets: /tmp itself, not a
    // private $TMPDIR that only its owner may pass through.
    TempDir dir{"/tmp"};
    Daemon daemon{dir.path()};
};

// A socket folder that is missing, writable by others or another user's is
// refused with its reason; the daemon's own runtime folder is made, 0700.
TEST_F(AccessTest, SocketFolderMustBeTheUsersOwn)
{
    struct Case
    {
        const char* what;
        std::string folder;
        mode_t mode; // 0: not created
        uid_t owner; // chowned to it when not the test's own
        const char* error;
    };
    std::vector<Case> cases = {
        {"a folder that does not exist", dir.path() + "/missing", 0, ::geteuid(), "No such file"},
        {"a folder all may write to", dir.path() + "/open", 0777, ::geteuid(),
         "may be written to by other users"},
        {"a folder its group may write to", dir.path() + "/group", 0770, ::geteuid(),
         "may be written to by other users"},
    };
    if (Root())
    {
        cases.push_back(
            {"another user's folder", dir.path() + "/theirs", 0755, kNobody, "belongs to user 65534"});
    }
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        if (c.mode != 0)
        {
            ASSERT_EQ(::mkdir(c.folder.c_str(), 0700), 0);
            ASSERT_EQ(::chmod(c.folder.c_str(), c.mode), 0);
            if (c.owner != ::geteuid())
            {
                ASSERT_EQ(::chown(c.folder.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
            }
        }
        Daemon d(dir.path());
        d.socketDir = c.folder;
        EXPECT_FALSE(d.Start({}, 5000));
        EXPECT_EQ(d.earlyExit(), 1);
        EXPECT_NE(d.log().find(c.error), std::string::npos) << d.log();
        EXPECT_EQ(ModeOf(c.folder + "/d.sock"), 0u) << "a socket was made there";
    }

    // The default paths of a user with a runtime directory: its ktzmon
    // folder is made for the daemon, private (root's is /run/ktzmon, left
    // alone here).
    if (!Root())
    {
        const std::string xdg = dir.path() + "/xdg";
        ASSERT_EQ(::mkdir(xdg.c_str(), 0700), 0);
        ktztest::ChildProcess p;
        ASSERT_TRUE(p.Spawn(
            {DaemonExe(), "--quiet", "--module", ModulePath()},
            {.err = dir.path() + "/default.log", .env = ktztest::EnvironWith({"XDG_RUNTIME_DIR=" + xdg})}));
        ktztest::WaitUntil([&] { return ModeOf(xdg + "/ktzmon/ktzmond.ctl") != 0; }, 10000);
        EXPECT_EQ(ModeOf(xdg + "/ktzmon"), 0700u);
        EXPECT_EQ(ModeOf(xdg + "/ktzmon/ktzmond.sock"), 0600u);
        EXPECT_EQ(p.Terminate(5000), 0);
    }
}

// A second daemon on a path whose socket was removed meanwhile is refused
// by the lock; a daemon removes only the socket file it made.
TEST_F(AccessTest, TwoDaemonsOnOnePath)
{
    ASSERT_TRUE(daemon.Start({}));
    ASSERT_EQ(::unlink(daemon.socket().c_str()), 0);
    Daemon second(dir.path());
    EXPECT_FALSE(second.Start({}, 5000));
    EXPECT_EQ(second.earlyExit(), 1);
    EXPECT_NE(second.log().find("another daemon holds " + daemon.socket() + ".lock"), std::string::npos);

    // Someone else's socket where the daemon's was: it stays after the stop.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", daemon.socket().c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(daemon.Terminate(5000), 0);
    EXPECT_NE(ModeOf(daemon.socket()), 0u) << "the daemon removed a socket it did not make";
    EXPECT_EQ(ModeOf(daemon.control()), 0u);
    EXPECT_EQ(ModeOf(daemon.socket() + ".lock"), 0u);
    ::close(fd);
}

// The socket's mode and group follow the allow-lists; an allowed user gets
// through, root always does, anyone else is stopped by the mode or by the
// credential check.
TEST_F(AccessTest, AllowListsSetTheSocketModeAndGroup)
{
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0); // other users may pass through
    struct Case
    {
        std::vector<std::string> args;
        mode_t mode;
        bool group;         // the socket belongs to group 65534
        std::string nobody; // what user 65534 gets (root only)
        std::string other;  // what user 65533 (group 65533) gets
    };
    const std::vector<Case> cases = {
        {{}, 0600, false, "no connection", "no connection"},
        {{"--allow-user", "65534"}, 0666, false, "welcomed", "goodbye 6"},
        {{"--allow-group", "65534"}, 0660, true, "welcomed", "no connection"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.args.empty() ? "no lists" : c.args[0]);
        Daemon d(dir.path());
        ASSERT_TRUE(d.Start(c.args));
        gid_t group = 0;
        EXPECT_EQ(ModeOf(d.socket(), &group), c.group && !Root() ? 0666u : c.mode);
        if (Root())
        {
            EXPECT_EQ(group == kNobody, c.group);
            EXPECT_EQ(HelloAs(kNobody, kNobody, d.socket()), c.nobody);
            EXPECT_EQ(HelloAs(kNobody - 1, kNobody - 1, d.socket()), c.other);
        }
        // The daemon's own user (root here, when run as root) always.
        EXPECT_EQ(HelloAs(::geteuid(), ::getegid(), d.socket()), "welcomed");
        EXPECT_EQ(d.Terminate(5000), 0);
    }
}

// Over TCP the same lists hold: a local peer is known by the user that owns
// its socket.
TEST_F(AccessTest, TcpPeersFollowTheAllowLists)
{
    if (!Root())
    {
        GTEST_SKIP() << "needs root to run clients as another user";
    }
    for (bool allowed : {false, true})
    {
        SCOPED_TRACE(allowed ? "user 65534 allowed" : "no lists");
        const std::string port = std::to_string(FreePort());
        Daemon d(dir.path());
        std::vector<std::string> args = {"--listen", "127.0.0.1:" + port};
        if (allowed)
        {
            args.insert(args.end(), {"--allow-user", "65534"});
        }
        ASSERT_TRUE(d.Start(args));
        EXPECT_EQ(HelloAs(kNobody, kNobody, "tcp:" + port), allowed ? "welcomed" : "goodbye 6");
        EXPECT_EQ(HelloAs(0, 0, "tcp:" + port), "welcomed");
        EXPECT_EQ(d.Terminate(5000), 0);
    }
}

} // namespace
