// ktzmon-host's options, files and exit statuses, run as a process: where
// the scenario comes from, what --ini-dir may touch, what each exit status
// means, signals that end a run, output that streams, what a run says about
// its expectations, and scenarios that --check and a run both refuse with
// exit status 2 and FILE:LINE before anything runs, or warn about with
// their line.
#include "support/files.h"
#include "support/temp_dir.h"

#include "host_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

namespace fs = std::filesystem;
using ktztest::JsonLines;
using ktztest::ReadFile;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Every run is bounded: a process still going after this is killed and the
// test fails.
constexpr int kRunLimitMs = 120000;

using Result = ktztest::RunResult;

// A ktzmon-host run with these NAME=value in its environment.
Result RunHost(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
               const std::string& input = "")
{
    return ktzhosttest::RunHost(args, {.input = input, .env = env});
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t i = text.find(what); i != std::string::npos; i = text.find(what, i + 1))
    {
        ++n;
    }
    return n;
}

const char* const kSmall = R"(title = "small"
end = 40
[[fan]]
names = ["F"]
readings = [4000]
lnc = 2000
lc = 1000
[[psu]]
fru_text = "P"
[redundancy]
config = 1
state = 1
[[client]]
id = 1
[[step]]
at = 2
action = "connect"
client = 1
)";

// Every test gets its own directory, which is also the TMPDIR of the runs,
// so that a private directory left behind is seen.
class HostOptions : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_FALSE(tmp_.path().empty());
        fs::create_directories(dir_ / "tmp");
        env_ = {"TMPDIR=" + (dir_ / "tmp").string(), "KTZPLAT_INI_DIR=" + (dir_ / "platform-ini").string()};
    }

    std::string Write(const std::string& name, const std::string& text)
    {
        const std::string path = (dir_ / name).string();
        EXPECT_TRUE(ktztest::WriteFile(path, text));
        return path;
    }
    // Private directories ktzmon-host left in its TMPDIR.
    size_t LeftBehind() const
    {
        return static_cast<size_t>(
            std::distance(fs::directory_iterator(dir_ / "tmp"), fs::directory_iterator()));
    }

    ktztest::TempDir tmp_;
    fs::path dir_{tmp_.path()};
    std::vector<std::string> env_;
};

TEST_F(HostOptions, ScenarioFromStandardInputOrAMissingFile)
{
    const Result in = RunHost({"-"}, env_, kSmall);
    EXPECT_EQ(in.status, 0) << in.err;
    EXPECT_NE(in.out.find("small\n"), std::string::npos);

    const Result m = RunHost({"--json", (dir_ / "missing.toml").string()}, env_);
    EXPECT_EQ(m.status, 2);
    EXPECT_NE(m.err.find("No such file or directory"), std::string::npos) << m.err;
    // (The refusal record's fields: RefusedScenariosRunNothing.)
    EXPECT_NE(JsonLines(m.out).at(0)["text"].get<std::string>().find("No such file or directory"),
              std::string::npos);

    const Result c = RunHost({"--check", "--json", "-"}, env_, kSmall);
    EXPECT_EQ(c.status, 0);
    const auto check = JsonLines(c.out);
    ASSERT_EQ(check.size(), 1u);
    EXPECT_EQ(
        check[0],
        (json{{"kind", "check"}, {"ok", true}, {"source", "stdin"}, {"steps", 1}, {"expectations", 0}}));

    const Result v = RunHost({"--version"}, env_);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("ktzmon-host ", 0), 0u) << v.out;
    EXPECT_EQ(LeftBehind(), 0u);
}

TEST_F(HostOptions, IniDirNeverOverwritesAndCreatesNoParents)
{
    const std::string withIni =
        Write("ini.toml", std::string(kSmall) + "[ini.\"Log Monitor\"]\n\"logevtqsize.max\" = 8\n");
    const std::string plain = Write("plain.toml", kSmall);
    const fs::path ini = dir_ / "ini";
    fs::create_directories(ini);
    const std::string mine = "[KTZ Monitor]\nlog.msgtofile = false\n";
    std::ofstream(ini / "ktzmonst32.ini") << mine;

    // A file already there and settings to write: refused, the file untouched.
    const Result refused = RunHost({"--ini-dir", ini.string(), withIni}, env_);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("never overwrites"), std::string::npos) << refused.err;
    EXPECT_TRUE(refused.out.empty());
    EXPECT_EQ(ReadFile((ini / "ktzmonst32.ini").string()), mine);

    // Nothing to write: the file is used as it is (the log is off), and named.
    const Result used = RunHost({"--ini-dir", ini.string(), "--json", plain}, env_);
    EXPECT_EQ(used.status, 0) << used.err;
    EXPECT_EQ(ReadFile((ini / "ktzmonst32.ini").string()), mine);
    bool named = false;
    for (const auto& j : JsonLines(used.out))
    {
        named = named || (j["kind"] == "note" && j.value("ini", "") == "used" &&
                          j.value("file", "") == (ini / "ktzmonst32.ini").string());
        EXPECT_NE(j["kind"], "log");
    }
    EXPECT_TRUE(named) << used.out;

    // A new directory whose parent exists is made, and said so; one level only.
    const fs::path fresh = dir_ / "fresh";
    const Result made = RunHost({"--ini-dir", fresh.string(), withIni}, env_);
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("created " + fresh.string()), std::string::npos);
    EXPECT_NE(ReadFile((fresh / "ktzmonst32.ini").string()).find("logevtqsize.max = 8"), std::string::npos);

    const fs::path deep = dir_ / "no" / "such" / "dir";
    const Result missing = RunHost({"--ini-dir", deep.string(), plain}, env_);
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("parent directory " + (dir_ / "no" / "such").string() + " does not exist"),
              std::string::npos)
        << missing.err;
    EXPECT_FALSE(fs::exists(dir_ / "no"));
    EXPECT_EQ(LeftBehind(), 0u);
}

TEST_F(HostOptions, ExitStatusesMeanWhatHelpSays)
{
    const std::string small = Write("small.toml", kSmall);
    const Result help = RunHost({"--help"}, env_);
    EXPECT_EQ(help.status, 0);
    for (const char* status : {"0 ", "1 ", "2 ", "130 ", "143 "})
    {
        EXPECT_NE(help.out.find(std::string("\n  ") + status), std::string::npos) << status;
    }

    // Every kind a run, a check and a refusal produce is listed in --help
    // (a platform INI file left out gives a note).
    fs::create_directories(dir_ / "platform-ini");
    std::ofstream(dir_ / "platform-ini" / "ktzmonst32.ini") << "[KTZ Monitor]\n";
    std::set<std::string> kinds;
    for (const auto& args :
         {std::vector<std::string>{"--json"}, {"--json", "--check"}, {"--json", dir_.string()}})
    {
        for (const auto& j : JsonLines(RunHost(args, env_).out))
        {
            kinds.insert(j["kind"]);
        }
    }
    const Result drop = RunHost(
        {"--json", Write("drop.toml", std::string(kSmall) +
                                          "[[client]]\nid = 2\nanswer_data = { \"ktz-setting\" = 4 }\n"
                                          "[[step]]\nat = 3\naction = \"connect\"\nclient = 2\n")},
        env_);
    for (const auto& j : JsonLines(drop.out))
    {
        kinds.insert(j["kind"]);
    }
    EXPECT_GE(kinds.size(), 11u);
    for (const auto& k : kinds)
    {
        EXPECT_NE(help.out.find(k), std::string::npos) << "kind '" << k << "' is not in --help";
    }

    // The timeline's directory is missing: refused before anything runs.
    const Result noDir = RunHost({"--timeline", (dir_ / "no" / "t.svg").string(), small}, env_);
    EXPECT_EQ(noDir.status, 2);
    EXPECT_TRUE(noDir.out.empty());
    EXPECT_NE(noDir.err.find("No such file or directory"), std::string::npos) << noDir.err;

    // The run completes, but the picture cannot be written there: a failure
    // at run time, with the reason.
    fs::create_directories(dir_ / "taken.svg");
    const Result late = RunHost({"--timeline", (dir_ / "taken.svg").string(), small}, env_);
    EXPECT_EQ(late.status, 1) << late.err;
    EXPECT_NE(late.out.find("Result: ok"), std::string::npos);
    EXPECT_NE(late.err.find("cannot write " + (dir_ / "taken.svg").string() + ": Is a directory"),
              std::string::npos)
        << late.err;

    // A module that does not load: a failure at run time, and no private
    // directory left behind.
    const Result module = RunHost({"--module", (dir_ / "libnothing.so").string(), small}, env_);
    EXPECT_EQ(module.status, 1);
    EXPECT_NE(module.err.find("cannot load"), std::string::npos) << module.err;
    EXPECT_EQ(LeftBehind(), 0u);
}

// A run on the virtual clock that would take minutes of real time: its
// output arrives while it runs, and a signal ends it through Stop-monitor
// and Unload with the output so far and the interruption's exit status.
TEST_F(HostOptions, SignalsEndALongRunCleanlyWithItsOutputSoFar)
{
    std::string scenario = kSmall;
    scenario.replace(scenario.find("end = 40"), 8, "end = 10000000");
    const std::string path = Write("long.toml", scenario);
    for (const auto& [sig, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}})
    {
        ktztest::PipedProcess p;
        ASSERT_TRUE(p.Start(ktzhosttest::HostArgv({"--no-log", path}), {.env = env_, .searchPath = true}));
        ASSERT_TRUE(p.ReadUntil([](const std::string& out)
                                { return out.find("data-sync-complete") != std::string::npos; },
                                kRunLimitMs))
            << "nothing streamed while the run went on:\n"
            << p.out() << p.err();
        p.Signal(sig);
        EXPECT_EQ(p.Wait(kRunLimitMs), status) << p.err();
        EXPECT_NE(p.out().find("interrupted: the run ends here"), std::string::npos);
        EXPECT_NE(p.out().find("Unload -> status 0"), std::string::npos);
        EXPECT_NE(p.out().find("Result: INTERRUPTED"), std::string::npos) << p.out();
        EXPECT_NE(p.err().find(sig == SIGINT ? "interrupted by SIGINT" : "interrupted by SIGTERM"),
                  std::string::npos);
        EXPECT_EQ(LeftBehind(), 0u);
    }
}

// A reader that stops early (`| head`) does not end the run half-way: the
// module is unloaded and the private directories go as usual.
TEST_F(HostOptions, AReaderThatGoesAwayLeavesNothingBehind)
{
    const std::string cmd = "TMPDIR='" + (dir_ / "tmp").string() + "' " + KTZHOST_EMULATOR + " '" +
                            KTZHOST_EXE + "' --hex | head -c 100 >/dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(LeftBehind(), 0u);
}

// On a terminal a long run shows how far it got; standard output stays clean.
TEST_F(HostOptions, LongRunShowsProgressOnATerminal)
{
    std::string scenario = kSmall;
    scenario.replace(scenario.find("end = 40"), 8, "end = 10000000");
    const std::string path = Write("long.toml", scenario);
    const std::string outPath = (dir_ / "out.txt").string();
    const std::vector<std::string> argv = ktzhosttest::HostArgv({path});
    // The program's own session with the terminal as its controlling one:
    // opened by name (not inherited) after the new session begins.
    int master = -1, slave = -1;
    char tty[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, tty, nullptr, nullptr), 0) << std::strerror(errno);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ktztest::ChildProcess child;
    const bool started = child.Spawn(argv, {.in = tty,
                                            .out = outPath,
                                            .err = tty,
                                            .searchPath = true,
                                            .newSession = true,
                                            .env = ktztest::EnvironWith(env_)});
    ::close(slave);
    ASSERT_TRUE(started) << std::strerror(child.spawnError());
    std::string shown;
    const auto start = Clock::now();
    while (shown.find("chassis time") == std::string::npos && Clock::now() - start < std::chrono::seconds(60))
    {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 200) > 0)
        {
            char buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
            {
                break;
            }
            shown.append(buf, static_cast<size_t>(n));
        }
    }
    const int status = child.Terminate(kRunLimitMs);
    ::close(master);
    EXPECT_NE(shown.find("ktzmon-host: chassis time "), std::string::npos) << shown;
    EXPECT_EQ(status, 143);
    const std::string out = ReadFile(outPath);
    EXPECT_EQ(out.find("chassis time"), std::string::npos);
    EXPECT_NE(out.find("Result: INTERRUPTED"), std::string::npos);
}

TEST_F(HostOptions, ExpectationsAreReportedOncePerOutput)
{
    // An unmet expectation: once in the transcript, once on standard error,
    // once in the JSON (its expect record; the result names its line).
    const std::string unmet =
        Write("unmet.toml",
              std::string(kSmall) + "[[expect]]\nclient = 1\nreceives = \"log-event\"\nmin_count = 1\n");
    const Result t = RunHost({unmet}, env_);
    EXPECT_EQ(t.status, 1);
    EXPECT_EQ(Count(t.out, "receives log-event"), 1u) << t.out;
    EXPECT_EQ(Count(t.err, "receives log-event"), 1u) << t.err;
    EXPECT_NE(t.err.find("expectation at line 19 not met: client 1 receives log-event"), std::string::npos)
        << t.err;
    EXPECT_NE(t.out.find("Result: FAILED"), std::string::npos) << t.out;
    const Result j = RunHost({"--json", unmet}, env_);
    EXPECT_EQ(j.status, 1);
    EXPECT_EQ(Count(j.out, "receives log-event"), 1u) << j.out;
    const auto records = JsonLines(j.out);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back()["kind"], "result");
    EXPECT_EQ(records.back()["unmet"], json::array({19}));
    EXPECT_EQ(records.back()["failures"], json::array());

    // No expectations: the run goes on, and says that nothing was checked.
    const Result none = RunHost({Write("none.toml", kSmall)}, env_);
    EXPECT_EQ(none.status, 0);
    EXPECT_NE(none.out.find("none: nothing was checked"), std::string::npos) << none.out;
}

TEST_F(HostOptions, ReadmeFailingFanIsReportedCriticalWithStructuredSteps)
{
    const std::string scenario = ktzhosttest::ReadmeExample();
    ASSERT_NE(scenario.find("One failing fan"), std::string::npos);
    const std::string path = Write("one-fan.toml", scenario);
    // It reads without a word (the shipped demonstration does too: the scenario reader test).
    const Result check = RunHost({"--check", path}, env_);
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out, path + ": ok (2 steps, 2 expectations)\n");
    EXPECT_EQ(check.err, "");

    const Result r = RunHost({"--json", path}, env_);
    EXPECT_EQ(r.status, 0) << r.err;
    bool step = false;
    std::vector<std::pair<double, std::string>> rear;
    for (const auto& j : JsonLines(r.out))
    {
        if (j["kind"] == "step")
        {
            // The step's values are fields of its own, not only words in its text.
            EXPECT_EQ(j["action"], "set-fan");
            EXPECT_EQ(j["fan"], 1);
            EXPECT_EQ(j["reading2"], 900);
            step = true;
        }
        if (j["kind"] == "message" && j["type"] == "sensor-data" && j["fields"]["name"] == "Rear")
        {
            rear.emplace_back(j["t"].get<double>(), j["fields"]["status_name"].get<std::string>());
        }
    }
    EXPECT_TRUE(step);
    // 900 is below the lower critical threshold of 1200: critical once its delay expired.
    EXPECT_EQ(rear, (std::vector<std::pair<double, std::string>>{{30.0, "normal"}, {70.0, "critical"}}));
}

// Each of these used to pass --check and then pass the run, checking nothing.
TEST_F(HostOptions, RefusedScenariosRunNothing)
{
    const std::string base = ktzhosttest::ReadmeExample();
    ASSERT_FALSE(base.empty());
    const std::string misspelt =
        Write("misspelt.toml", base + "\n[[expect]]\nclient = 1\nreceives = \"sensor-data\"\n"
                                      "where = { nmae = \"Rear\" }\ncount = 0\n");
    const std::string whereLine = std::to_string(std::count(base.begin(), base.end(), '\n') + 5);
    const struct
    {
        std::string path;
        std::string message;
    } cases[] = {
        {misspelt, misspelt + ":" + whereLine + ": expect[3].where: no field 'nmae' in sensor-data messages"},
        {Write("empty.toml", ""), ":1: nothing to run"},
        {"/dev/null", "/dev/null:1: nothing to run"},
        {dir_.string(), "cannot read " + dir_.string() + ": Is a directory"},
    };
    for (const auto& c : cases)
    {
        for (const bool check : {true, false})
        {
            const Result p =
                RunHost(check ? std::vector<std::string>{"--check", c.path} : std::vector{c.path}, env_);
            EXPECT_EQ(p.status, 2) << c.path << (check ? " --check" : "") << ": " << p.err;
            EXPECT_EQ(p.out, "") << c.path;
            EXPECT_NE(p.err.find(c.message), std::string::npos) << p.err;
        }
    }
    // With --json the refusal is one record too, naming the file and line.
    const Result j = RunHost({"--json", misspelt}, env_);
    EXPECT_EQ(j.status, 2);
    EXPECT_NE(j.err.find("not run"), std::string::npos) << j.err;
    const auto records = JsonLines(j.out);
    ASSERT_EQ(records.size(), 1u) << j.out;
    EXPECT_EQ(records[0]["kind"], "error");
    EXPECT_EQ(records[0]["source"], misspelt);
    EXPECT_EQ(records[0]["line"], std::stoi(whereLine));
    EXPECT_EQ(records[0]["exit"], 2);
    EXPECT_EQ(LeftBehind(), 0u);
}

TEST_F(HostOptions, WarningsComeWithTheirLineAtCheckAndAtTheRun)
{
    const std::string path = Write("nopsu.toml", "end = 40\n[[fan]]\nnames = [\"F\"]\n[[client]]\nid = 1\n"
                                                 "[[step]]\nat = 1\naction = \"connect\"\nclient = 1\n");
    const std::string warning = path + ":1: warning: scenario: no power-supply bay";
    const Result check = RunHost({"--check", path}, env_);
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_NE(check.err.find(warning), std::string::npos) << check.err;
    const Result run = RunHost({"--no-log", path}, env_);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(warning), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("data-sync-complete"), std::string::npos) << "the warning said it never comes";
}

} // namespace
