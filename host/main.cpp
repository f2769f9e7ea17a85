// ktzmon-host: runs the KTZ Monitor module the way the chassis host service
// does, on a simulated chassis, and shows what every client receives.
#include "driver.h"
#include "output.h"
#include "scenario.h"

#include <nlohmann/json.hpp>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#ifndef KTZMON_HOST_MODULE_PATH
#define KTZMON_HOST_MODULE_PATH "libktzmon.so.1"
#endif
#ifndef KTZMON_HOST_VERSION
#define KTZMON_HOST_VERSION "unknown"
#endif

namespace
{

// The statuses every ktzmon program uses (0, 1, 2), and the shell's for a
// run ended by a signal.
enum Exit
{
    kExitOk = 0,
    kExitFailure = 1, // the run did not go as the scenario expects, the module could not be
                      // loaded, or --timeline FILE could not be written
    kExitUsage = 2,   // bad option, scenario or directory; nothing was run
    kExitSigInt = 128 + SIGINT,
    kExitSigTerm = 128 + SIGTERM,
};

const char* const kDescription =
    R"(Runs the KTZ Monitor module (libktzmon.so.1) the way the chassis host service
does: loads it with dlopen, issues Load and Start-monitor, connects clients,
answers the module's messages like a client, and finally issues Stop-monitor
and Unload. The chassis is simulated by the platform stand-in on a virtual
clock, so minutes of chassis time pass in about a second.

Without SCENARIO it runs the built-in demonstration chassis (the same text as
scenario/scenarios/demo.toml; --print-demo prints it as a start for your own).
SCENARIO "-" reads the scenario from standard input. docs/scenarios.md
describes the scenario format, docs/host.md the output.)";

const char* const kFooter = R"(Output (stdout), written line by line as the run goes:
  default        an aligned transcript: chassis seconds, who (host, chassis,
                 client N, module, module log, ktzmon-host) and the decoded
                 message or event, followed by the message counts, the
                 expectations and the result
  --json         one JSON object per line, "kind" one of:
                 scenario, host, step, message, log, note, removed, expect,
                 result (a run); check (--check); error (a scenario or
                 setup that was refused)
Standard error gets problems, the expectations not met, and on a terminal a
progress line for runs that take more than a moment.

Files:
  Private directories are made under $TMPDIR and removed after the run.
  In a private INI directory ktzmonst32.ini is made of the scenario's [ini]
  tables; the ktzmonst32.ini of $KTZPLAT_INI_DIR (default
  /tmp/ktzplatform/ini) is left out, and named, unless --merge-platform-ini
  puts it first (its settings then take precedence).
  --ini-dir DIR never overwrites DIR/ktzmonst32.ini: the module reads it as
  it is, and a scenario with [ini] tables is refused. Without such a file
  it is written from the scenario and left there. --ini-dir and --log-dir
  create DIR only when its parent exists.

Exit status:
  0    the run went as the scenario expects
  1    a failure at run time: the run did not go as the scenario expects
       (each failure is listed), the module could not be loaded (nothing
       was run), or the run went as expected but --timeline FILE could not
       be written
  2    a bad command line or input file: option, scenario, --ini-dir,
       --log-dir or --timeline directory (nothing was run)
  130  ended by SIGINT
  143  ended by SIGTERM
       (either way the output so far is written, the module is stopped and
       unloaded, and private temporary directories are removed))";

// Reads the scenario text from a file, or from standard input for "-".
bool ReadScenario(const std::string& path, std::string* text, std::string* error)
{
    if (path == "-")
    {
        std::stringstream ss;
        ss << std::cin.rdbuf();
        if (std::cin.bad())
        {
            *error = "cannot read the scenario from standard input: " + std::string(std::strerror(errno));
            return false;
        }
        *text = ss.str();
        return true;
    }
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0)
    {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode))
    {
        *error = "cannot read " + path + ": " + std::strerror(EISDIR);
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    if (in.bad())
    {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    *text = ss.str();
    return true;
}

// The file and line a scenario error names ("FILE:LINE: what"), when it does.
void ErrorPlace(const std::string& error, const std::string& source, nlohmann::json* j)
{
    if (error.rfind(source + ":", 0) != 0)
    {
        return;
    }
    std::smatch m;
    const std::string rest = error.substr(source.size() + 1);
    static const std::regex kLine("^([0-9]+):");
    if (std::regex_search(rest, m, kLine))
    {
        (*j)["line"] = std::stoi(m[1].str());
    }
}

int Refuse(bool json, const std::string& source, const std::string& error, int status)
{
    std::cerr << error << "\nktzmon-host: scenario not run\n";
    if (json)
    {
        nlohmann::json j = {{"kind", "error"}, {"source", source}, {"text", error}, {"exit", status}};
        ErrorPlace(error, source, &j);
        std::cout << j.dump() << "\n" << std::flush;
    }
    return status;
}

// SIGINT and SIGTERM are blocked in every thread during a run, and taken
// here between slices of the clock, so that no module wait is cut short and
// the run can end through Stop-monitor and Unload.
class Signals
{
  public:
    Signals()
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        (void)pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }

    bool Taken()
    {
        if (signal_ != 0)
        {
            return true;
        }
        sigset_t pending;
        sigemptyset(&pending);
        if (sigpending(&pending) != 0 || (!sigismember(&pending, SIGINT) && !sigismember(&pending, SIGTERM)))
        {
            return false;
        }
        const timespec zero{};
        const int sig = sigtimedwait(&set_, nullptr, &zero);
        if (sig > 0)
        {
            signal_ = sig;
        }
        return signal_ != 0;
    }

    int Which() const { return signal_; }

  private:
    sigset_t set_{};
    int signal_ = 0;
};

// A progress line on standard error, only when it is a terminal and the run
// has taken more than a moment.
class Progress
{
  public:
    Progress() : tty_(::isatty(STDERR_FILENO) == 1), start_(Clock::now()) {}

    void Update(double now, double end)
    {
        const auto t = Clock::now();
        if (!tty_ || t - start_ < std::chrono::seconds(2) || t - last_ < std::chrono::milliseconds(250))
        {
            return;
        }
        last_ = t;
        shown_ = true;
        std::fprintf(stderr, "\rktzmon-host: chassis time %.0f of %.0f s", now, end);
        std::fflush(stderr);
    }

    ~Progress()
    {
        if (shown_)
        {
            std::fprintf(stderr, "\r\033[K");
            std::fflush(stderr);
        }
    }

  private:
    using Clock = std::chrono::steady_clock;
    bool tty_;
    bool shown_ = false;
    Clock::time_point start_;
    Clock::time_point last_{};
};

// Whether FILE can be created where it is named: its directory exists and is writable.
bool CanCreate(const std::string& file, std::string* error)
{
    std::string dir =
        file.substr(0, file.find_last_of('/') == std::string::npos ? 0 : file.find_last_of('/'));
    if (file.find('/') == std::string::npos)
    {
        dir = ".";
    }
    else if (dir.empty())
    {
        dir = "/";
    }
    if (::access(dir.c_str(), W_OK) != 0)
    {
        *error = "cannot write " + file + ": " + dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    ktzhost::RunOptions run;
    run.modulePath = KTZMON_HOST_MODULE_PATH;
    ktzhost::OutputOptions out;
    std::string scenarioPath, svgPath;
    bool checkOnly = false;
    bool printDemo = false;

    CLI::App app(kDescription, "ktzmon-host");
    app.footer(kFooter);
    app.get_formatter()->column_width(24);
    app.set_version_flag("--version", std::string("ktzmon-host ") + KTZMON_HOST_VERSION,
                         "Print the version and exit");
    app.add_option("SCENARIO", scenarioPath, "scenario file (TOML; \"-\": standard input)");
    app.add_flag("--json", out.json, "one JSON object per line instead of the transcript");
    app.add_flag("--hex", out.hex, "add each payload's wire bytes (hex, little-endian fields)");
    app.add_flag(
        "--no-log", [&](std::int64_t) { out.showLog = false; },
        "leave out the module's diagnostic log lines");
    app.add_option("--timeline", svgPath, "also draw the run as an SVG picture in FILE")->type_name("FILE");
    app.add_option("--module", run.modulePath, "the module to load (default: " KTZMON_HOST_MODULE_PATH ")")
        ->type_name("PATH");
    app.add_option("--ini-dir", run.iniDir, "the module's INI directory (default: private; see Files)")
        ->type_name("DIR");
    app.add_option("--log-dir,--log-root", run.logRoot,
                   "where the module's log file lands (default: private)")
        ->type_name("DIR");
    app.add_flag("--merge-platform-ini", run.mergePlatformIni,
                 "apply $KTZPLAT_INI_DIR/ktzmonst32.ini too (see Files)");
    app.add_flag("--keep", run.keepTemp, "keep the private directories and say where they are");
    app.add_flag("--check", checkOnly, "only read the scenario and report errors; run nothing");
    app.add_flag("--print-demo", printDemo, "print the demonstration scenario and exit");
    app.allow_extras();

    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::CallForHelp&)
    {
        std::cout << app.help();
        return kExitOk;
    }
    catch (const CLI::CallForVersion&)
    {
        std::cout << app.version() << "\n";
        return kExitOk;
    }
    catch (const CLI::ParseError& e)
    {
        std::cerr << "ktzmon-host: " << e.what() << " (see --help)\n";
        return kExitUsage;
    }
    for (const auto& extra : app.remaining())
    {
        if (extra.size() > 1 && extra[0] == '-')
        {
            std::cerr << "ktzmon-host: unknown option " << extra << " (see --help)\n";
        }
        else
        {
            std::cerr << "ktzmon-host: one scenario at a time (" << scenarioPath << " and " << extra << ")\n";
        }
        return kExitUsage;
    }
    if (printDemo)
    {
        std::cout << ktzhost::DemoScenarioText();
        return kExitOk;
    }

    std::string text = ktzhost::DemoScenarioText();
    std::string source = "demo.toml (built in)";
    if (!scenarioPath.empty())
    {
        source = scenarioPath == "-" ? "stdin" : scenarioPath;
        std::string error;
        if (!ReadScenario(scenarioPath, &text, &error))
        {
            return Refuse(out.json, source, "ktzmon-host: " + error, kExitUsage);
        }
    }
    const ktzhost::ParseResult parsed = ktzhost::ParseScenario(text, source);
    if (!parsed.ok)
    {
        return Refuse(out.json, source, parsed.error, kExitUsage);
    }
    for (const auto& w : parsed.warnings)
    {
        std::cerr << w << "\n";
    }
    if (checkOnly)
    {
        if (out.json)
        {
            std::cout << nlohmann::json{{"kind", "check"},
                                        {"ok", true},
                                        {"source", source},
                                        {"steps", parsed.scenario.steps.size()},
                                        {"expectations", parsed.scenario.expectations.size()}}
                             .dump()
                      << "\n";
        }
        else
        {
            std::cout << source << ": ok (" << parsed.scenario.steps.size() << " steps, "
                      << parsed.scenario.expectations.size() << " expectations)\n";
        }
        return kExitOk;
    }
    if (!svgPath.empty())
    {
        std::string error;
        if (!CanCreate(svgPath, &error))
        {
            return Refuse(out.json, source, "ktzmon-host: " + error, kExitUsage);
        }
    }

    // A reader that goes away (`| head`) must not kill the run before it has
    // unloaded the module and removed its private directories.
    (void)std::signal(SIGPIPE, SIG_IGN);
    Signals signals;
    Progress progress;
    const auto writer = ktzhost::MakeRunWriter(std::cout, out);
    bool begun = false;
    run.onEvent = [&](const ktzhost::Event& ev)
    {
        if (!begun)
        {
            writer->Begin(parsed.scenario);
            begun = true;
        }
        writer->Add(ev);
    };
    run.interrupted = [&]() { return signals.Taken(); };
    run.progress = [&](double now, double end) { progress.Update(now, end); };

    ktzhost::RunResult result;
    std::string error;
    const ktzhost::RunStatus status = ktzhost::RunScenario(parsed.scenario, run, &result, &error);
    if (status != ktzhost::RunStatus::Completed)
    {
        return Refuse(out.json, source, "ktzmon-host: " + error,
                      status == ktzhost::RunStatus::BadSetup ? kExitUsage : kExitFailure);
    }
    if (!begun)
    {
        writer->Begin(parsed.scenario);
    }
    writer->End(parsed.scenario, result);

    bool svgWritten = true;
    if (!svgPath.empty() && !result.interrupted)
    {
        std::ofstream svg(svgPath);
        if (svg)
        {
            ktzhost::WriteTimelineSvg(svg, parsed.scenario, result);
            svg.close();
        }
        if (!svg)
        {
            std::cerr << "ktzmon-host: cannot write " << svgPath << ": " << std::strerror(errno) << "\n";
            svgWritten = false;
        }
    }
    if (run.keepTemp)
    {
        std::cerr << "ktzmon-host: INI directory " << result.iniDir << ", log root " << result.logRoot
                  << "\n";
    }
    if (result.interrupted || signals.Taken())
    {
        std::cerr << "ktzmon-host: interrupted by " << (signals.Which() == SIGTERM ? "SIGTERM" : "SIGINT")
                  << " at t=" << ktzhost::Seconds(result.end) << "\n";
        return signals.Which() == SIGTERM ? kExitSigTerm : kExitSigInt;
    }
    if (!result.ok)
    {
        std::cerr << "ktzmon-host: the run did not go as the scenario expects:\n";
        for (const auto& f : result.failures)
        {
            std::cerr << "  " << f << "\n";
        }
        for (const auto& o : result.outcomes)
        {
            if (!o.ok)
            {
                std::cerr << "  expectation at line " << o.expectation.line
                          << " not met: " << o.expectation.Describe() << " (" << o.detail << ")\n";
            }
        }
        return kExitFailure;
    }
    return svgWritten ? kExitOk : kExitFailure;
}
