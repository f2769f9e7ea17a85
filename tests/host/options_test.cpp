// ktzmon-host's options, files and exit statuses, run as a process: where
// the scenario comes from, what --ini-dir may touch, what each exit status
// means, signals that end a run, output that streams, and what a run says
// about its expectations.
#include "child_process.h"

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
using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Every run is bounded: a process still going after this is killed and the
// test fails.
constexpr auto kRunLimit = std::chrono::seconds(120);

std::vector<std::string> Words(const std::string& s)
{
    std::vector<std::string> out;
    std::stringstream ss(s);
    std::string w;
    while (ss >> w)
    {
        out.push_back(w);
    }
    return out;
}

// A running ktzmon-host (through the emulator in a cross build) with its
// standard output and error on pipes.
class HostProcess
{
  public:
    HostProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                const std::string& input = "")
    {
        std::vector<std::string> argv = Words(KTZHOST_EMULATOR);
        argv.push_back(KTZHOST_EXE);
        argv.insert(argv.end(), args.begin(), args.end());
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return;
        }
        ktzhosttest::SpawnOptions options;
        options.inFd = in[0];
        options.outFd = out[1];
        options.errFd = err[1];
        options.searchPath = true;
        options.env = ktzhosttest::EnvironWith(env);
        if (!child_.Spawn(argv, options))
        {
            ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(child_.spawnError());
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        if (!input.empty())
        {
            (void)!::write(in[1], input.data(), input.size());
        }
        ::close(in[1]);
        out_ = out[0];
        err_ = err[0];
        start_ = Clock::now();
    }

    ~HostProcess()
    {
        for (int fd : {out_, err_})
        {
            if (fd >= 0)
            {
                ::close(fd);
            }
        }
    }

    // Reads output until `pred(stdout so far)` holds or the process ends;
    // false when it ended first or the time limit passed.
    template <typename Pred> bool ReadUntil(Pred pred)
    {
        while (!pred(out) && Clock::now() - start_ < kRunLimit)
        {
            if (!Pump(200))
            {
                return pred(out);
            }
        }
        return pred(out);
    }

    void Signal(int sig) { child_.Signal(sig); }

    // Reads everything and returns the exit status (1000 + the signal when
    // one ended it, as when it is killed at the time limit).
    int Wait()
    {
        while (Clock::now() - start_ < kRunLimit && Pump(200))
        {
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(kRunLimit - (Clock::now() - start_));
        if (child_.Wait(static_cast<int>(std::max<int64_t>(left.count(), 0))) < 0 && child_.running())
        {
            ADD_FAILURE() << "ktzmon-host still running after the time limit";
            child_.Kill();
        }
        return child_.exitCode() >= 0 ? child_.exitCode() : 1000 + child_.termSignal();
    }

    std::string out, err;

  private:
    // One poll of both pipes; false once both are closed.
    bool Pump(int timeoutMs)
    {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (out_ < 0 && err_ < 0)
        {
            return false;
        }
        if (::poll(fds, 2, timeoutMs) < 0)
        {
            return errno == EINTR;
        }
        char buf[4096];
        for (auto [fd, dst] : {std::pair{&out_, &out}, std::pair{&err_, &err}})
        {
            if (*fd < 0)
            {
                continue;
            }
            const pollfd& p = fds[fd == &out_ ? 0 : 1];
            if ((p.revents & (POLLIN | POLLHUP)) != 0)
            {
                const ssize_t n = ::read(*fd, buf, sizeof buf);
                if (n > 0)
                {
                    dst->append(buf, static_cast<size_t>(n));
                }
                else
                {
                    ::close(*fd);
                    *fd = -1;
                }
            }
        }
        return out_ >= 0 || err_ >= 0;
    }

    ktzhosttest::ChildProcess child_;
    int out_ = -1;
    int err_ = -1;
    Clock::time_point start_;
};

struct Result
{
    int status;
    std::string out, err;
};

Result RunHost(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
               const std::string& input = "")
{
    HostProcess p(args, env, input);
    const int st = p.Wait();
    return {st, p.out, p.err};
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

std::vector<json> JsonLines(const std::string& text)
{
    std::vector<json> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line))
    {
        out.push_back(json::parse(line));
    }
    return out;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The "One failing fan" scenario of the README, as a newcomer would save it.
std::string ReadmeScenario()
{
    const std::string readme = ReadFile(std::string(KTZHOST_SOURCE_DIR) + "/README.md");
    const size_t b = readme.find("```toml\n");
    const size_t e = readme.find("```", b + 8);
    return b == std::string::npos || e == std::string::npos ? "" : readme.substr(b + 8, e - b - 8);
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
        const char* base = std::getenv("TMPDIR");
        dir_ = fs::path(base != nullptr ? base : "/tmp") /
               ("ktzhost-options-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "tmp");
        env_ = {"TMPDIR=" + (dir_ / "tmp").string(), "KTZPLAT_INI_DIR=" + (dir_ / "platform-ini").string()};
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& text)
    {
        const std::string path = (dir_ / name).string();
        std::ofstream(path) << text;
        return path;
    }
    // Private directories ktzmon-host left in its TMPDIR.
    size_t LeftBehind() const
    {
        return static_cast<size_t>(
            std::distance(fs::directory_iterator(dir_ / "tmp"), fs::directory_iterator()));
    }

    fs::path dir_;
    std::vector<std::string> env_;
};

TEST_F(HostOptions, ScenarioFromStandardInputOrAFileThatCannotBeRead)
{
    const Result in = RunHost({"-"}, env_, kSmall);
    EXPECT_EQ(in.status, 0) << in.err;
    EXPECT_NE(in.out.find("small\n"), std::string::npos);

    const Result d = RunHost({dir_.string()}, env_);
    EXPECT_EQ(d.status, 2);
    EXPECT_NE(d.err.find("cannot read " + dir_.string() + ": Is a directory"), std::string::npos) << d.err;
    EXPECT_TRUE(d.out.empty());

    const Result m = RunHost({"--json", (dir_ / "missing.toml").string()}, env_);
    EXPECT_EQ(m.status, 2);
    EXPECT_NE(m.err.find("No such file or directory"), std::string::npos) << m.err;
    const auto rec = JsonLines(m.out);
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec[0]["kind"], "error");
    EXPECT_NE(rec[0]["text"].get<std::string>().find("No such file or directory"), std::string::npos);

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
        HostProcess p({"--no-log", path}, env_);
        ASSERT_TRUE(p.ReadUntil([](const std::string& out)
                                { return out.find("data-sync-complete") != std::string::npos; }))
            << "nothing streamed while the run went on:\n"
            << p.out << p.err;
        p.Signal(sig);
        EXPECT_EQ(p.Wait(), status) << p.err;
        EXPECT_NE(p.out.find("interrupted: the run ends here"), std::string::npos);
        EXPECT_NE(p.out.find("Unload -> status 0"), std::string::npos);
        EXPECT_NE(p.out.find("Result: INTERRUPTED"), std::string::npos) << p.out;
        EXPECT_NE(p.err.find(sig == SIGINT ? "interrupted by SIGINT" : "interrupted by SIGTERM"),
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
    std::vector<std::string> argv = Words(KTZHOST_EMULATOR);
    argv.push_back(KTZHOST_EXE);
    argv.push_back(path);
    // The program's own session with the terminal as its controlling one:
    // opened by name (not inherited) after the new session begins.
    int master = -1, slave = -1;
    char tty[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, tty, nullptr, nullptr), 0) << std::strerror(errno);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ktzhosttest::SpawnOptions options;
    options.in = tty;
    options.out = outPath;
    options.err = tty;
    options.newSession = true;
    options.searchPath = true;
    options.env = ktzhosttest::EnvironWith(env_);
    ktzhosttest::ChildProcess child;
    const bool started = child.Spawn(argv, options);
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
    const int status = child.Terminate(static_cast<int>(std::chrono::milliseconds(kRunLimit).count()));
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
    const std::string scenario = ReadmeScenario();
    ASSERT_NE(scenario.find("One failing fan"), std::string::npos);
    const Result r = RunHost({"--json", Write("one-fan.toml", scenario)}, env_);
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

} // namespace
