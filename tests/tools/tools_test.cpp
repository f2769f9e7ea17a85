// The programs' command lines as an operator meets them: every program
// answers --version and documents the exit statuses they all share, and
// ktzmonctl against a running ktzmond does what it says or says why not.
#include "support/piped_process.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

using ktzmond_test::Daemon;
using ktzmond_test::NowMs;
using ktzmond_test::TempDir;

struct ToolRun
{
    int status = -1;
    std::string out; // standard output and error
};

// Runs a program to its end (at most 20 seconds).
ToolRun RunTool(const std::vector<std::string>& argv)
{
    const ktztest::RunResult r = ktztest::RunProgram(argv, {}, 20000);
    return {r.status, r.out + r.err};
}

TEST(ToolsTest, EveryProgramAnswersVersionAndDocumentsItsExitStatuses)
{
    const std::vector<std::pair<std::string, std::string>> programs = {
        {"ktzmond", KTZMOND_EXE},
        {"ktzmonctl", KTZMONCTL_EXE},
        {"ktzmon-watch", KTZMON_WATCH_EXE},
        {"ktzmon-host", KTZMON_HOST_EXE},
        {"ktzmon-exporter", KTZMON_EXPORTER_EXE}};
    for (const auto& [name, exe] : programs)
    {
        const ToolRun version = RunTool({exe, "--version"});
        EXPECT_EQ(version.status, 0) << name;
        EXPECT_EQ(version.out, name + " " + KTZMON_VERSION_TEXT + "\n") << name;
        const ToolRun help = RunTool({exe, "--help"});
        EXPECT_EQ(help.status, 0) << name;
        for (const char* line : {"\n  0 ", "\n  1 ", "\n  2 "})
        {
            EXPECT_NE(help.out.find(line), std::string::npos) << name << " --help lacks exit status " << line;
        }
        // CLI11's own codes (106 for an unknown option) become 2.
        const ToolRun bad = RunTool({exe, "--no-such-option"});
        EXPECT_EQ(bad.status, 2) << name << ": " << bad.out;
        EXPECT_NE(bad.out.find("--no-such-option"), std::string::npos) << name << ": " << bad.out;
    }
    const ToolRun ctlHelp = RunTool({KTZMONCTL_EXE, "--help"});
    for (const char* cmd : {"status", "clients", "disconnect", "set-fan", "set-temp", "set-stash-temp",
                            "pull-psu", "insert-psu", "set-psu", "set-redundancy", "log-event", "set-ktz"})
    {
        EXPECT_NE(ctlHelp.out.find(cmd), std::string::npos) << "ktzmonctl --help lacks " << cmd;
    }
}

class CtlTest : public ::testing::Test
{
  protected:
    ToolRun Ctl(const std::vector<std::string>& args)
    {
        const ktztest::RunResult r = daemon_.RunCtl(args, 20000);
        return {r.status, r.out + r.err};
    }

    TempDir dir_;
    Daemon daemon_{dir_.path()};
};

// set-ktz sets what it says; anything else is refused, naming the value,
// before the daemon is asked.
TEST_F(CtlTest, SetKtzTakesOnOffAndTheSettingsNumbers)
{
    ASSERT_TRUE(daemon_.Start({"--speed", "10"}));
    struct Case
    {
        std::string value;
        int status;
        std::string says; // in ktzmonctl's output, or in the daemon's log
    };
    const std::vector<Case> cases = {
        {"on", 0, "KTZ setting set to 1"},        {"off", 0, "KTZ setting set to 0"},
        {"2", 0, "KTZ setting set to 2"},         {"0", 0, "KTZ setting set to 0"},
        {"abc", 2, "'abc' is not a KTZ setting"}, {"", 2, "'' is not a KTZ setting"},
        {"ON ", 2, "'ON ' is not a KTZ setting"}, {"7", 2, "'7' is not a KTZ setting"},
    };
    for (const Case& c : cases)
    {
        const ToolRun r = Ctl({"set-ktz", c.value});
        EXPECT_EQ(r.status, c.status) << "'" << c.value << "': " << r.out;
        EXPECT_NE((r.out + daemon_.log()).find(c.says), std::string::npos)
            << "'" << c.value << "': " << r.out;
    }
    EXPECT_EQ(daemon_.log().find("KTZ setting set to on"), std::string::npos) << daemon_.log();
    EXPECT_EQ(daemon_.log().find("set to abc"), std::string::npos) << daemon_.log();
}

// Options before or after the command; an unknown command named; --socket
// finds the control socket beside it; what the daemon refuses is printed
// and fails.
TEST_F(CtlTest, CommandLineFormsAndRefusals)
{
    ASSERT_TRUE(daemon_.Start({"--speed", "10"}));
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--json", "status"},
                                                 {"status", "--json"},
                                                 {"status", "--json", "--timeout", "2.5"}})
    {
        const ToolRun r = Ctl(args);
        EXPECT_EQ(r.status, 0) << r.out;
        const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
        EXPECT_TRUE(!j.is_discarded() && j.value("ok", false)) << r.out;
    }
    const ToolRun status = Ctl({"status"});
    EXPECT_NE(status.out.find("sensors           3 fans, 3 temperatures, 4 power supplies"),
              std::string::npos)
        << status.out;

    ToolRun r = Ctl({"bogus"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("unknown command 'bogus'"), std::string::npos) << r.out;

    r = RunTool({KTZMONCTL_EXE, "--socket", dir_.path() + "/none/d.sock", "status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("cannot reach ktzmond at " + dir_.path() + "/none/ktzmond.ctl"), std::string::npos)
        << r.out;

    // What the daemon refuses is printed with the command, and fails.
    r = Ctl({"disconnect", "999"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("ktzmonctl: disconnect: no client 999"), std::string::npos) << r.out;
}

// --config files: ktzmond takes its options from one (the command line
// wins), a misspelt key is refused like a bad option; a hangup does not end
// the daemon, whatever its chassis.
TEST_F(CtlTest, ConfigFilesAndHangups)
{
    const std::string config = dir_.path() + "/ktzmond.conf";
    std::ofstream(config) << "# the speed from the file, the socket from the command line\nspeed = 10\n"
                             "socket = \"/nonexistent/ktzmond.sock\"\n";
    ASSERT_TRUE(daemon_.Start({"--config", config})) << daemon_.log();
    ASSERT_TRUE(
        daemon_.WaitStatus([](const nlohmann::json& s) { return s.value("speed", 0.0) == 10.0; }, 5000));
    ::kill(daemon_.pid(), SIGHUP);
    const std::string said = "SIGHUP: the simulated chassis has no configuration to read again";
    EXPECT_TRUE(ktztest::WaitUntil([&] { return daemon_.log().find(said) != std::string::npos; }, 10000))
        << daemon_.log();
    ASSERT_TRUE(daemon_.WaitStatus([](const nlohmann::json&) { return true; }, 5000)); // still serving
    EXPECT_EQ(daemon_.Terminate(10000), 0);

    std::ofstream(config) << "quiett = true\n";
    for (const std::string& exe : {std::string(KTZMOND_EXE), std::string(KTZMON_EXPORTER_EXE)})
    {
        const ToolRun r = RunTool({exe, "--config", config});
        EXPECT_EQ(r.status, 2) << exe << ": " << r.out;
        EXPECT_NE(r.out.find("quiett"), std::string::npos) << exe << ": " << r.out;
    }
}

// --timeout is seconds with decimals: a control socket that never answers
// fails after that long.
TEST_F(CtlTest, TimeoutInSecondsWithDecimals)
{
    const std::string path = dir_.path() + "/silent.ctl";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::copy(path.begin(), path.end(), addr.sun_path);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    const int64_t start = NowMs();
    const ToolRun r = RunTool({KTZMONCTL_EXE, "--control-socket", path, "status", "--timeout", "0.4"});
    const int64_t took = NowMs() - start;
    ::close(fd);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("no reply from ktzmond"), std::string::npos) << r.out;
    EXPECT_GE(took, 350);
    EXPECT_LT(took, 5000);
}

} // namespace
