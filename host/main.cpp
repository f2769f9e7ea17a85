// ktzmon-host: runs the KTZ Monitor module the way the chassis host service
// does, on a simulated chassis, and shows what every client receives.
#include "driver.h"
#include "output.h"
#include "scenario.h"

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#ifndef KTZMON_HOST_MODULE_PATH
#define KTZMON_HOST_MODULE_PATH "libktzmon.so.1"
#endif

namespace
{

enum Exit
{
    kExitOk = 0,
    kExitExpectations = 1, // the run did not go as the scenario expects
    kExitUsage = 2,        // bad option or scenario; nothing was run
    kExitModule = 3,       // the module could not be loaded
};

const char* const kHelp = R"(Usage: ktzmon-host [OPTIONS] [SCENARIO.toml]

Runs the KTZ Monitor module (libktzmon.so.1) the way the chassis host service
does: loads it with dlopen, issues Load and Start-monitor, connects clients,
answers the module's messages like a client, and finally issues Stop-monitor
and Unload. The chassis is simulated by the platform stand-in on a virtual
clock, so minutes of chassis time pass in about a second.

Without SCENARIO it runs the built-in demonstration chassis (the same text as
host/scenarios/demo.toml; --print-demo prints it as a start for your own).
docs/scenarios.md describes the scenario format.

Output (stdout):
  default        an aligned transcript: chassis seconds, who (host, chassis,
                 client N, module log) and the decoded message or event,
                 followed by the message counts and the expectations
  --json         one JSON object per line: {"kind":"message"|"log"|"host"|
                 "step"|"note"|"expect"|"result", "t": seconds, ...}
  --hex          add each payload's wire bytes (hex, little-endian fields)
  --no-log       leave out the module's diagnostic log lines
  --timeline F   also write the run as an SVG picture to file F: one lane per
                 sensor with the chassis value, the values clients received,
                 fan delay-mode windows, and client / log-event ticks

Options:
  --module PATH  the module to load (default: the one built beside this
                 program: )" KTZMON_HOST_MODULE_PATH R"()
  --ini-dir DIR  where the module's INI file is looked up (default: a private
                 temporary directory holding ktzmonst32.ini made of the file
                 of that name in $KTZPLAT_INI_DIR, default /tmp/ktzplatform/ini,
                 if there is one, then the scenario's [ini] tables; the first
                 matching key wins, so your file's settings come first)
  --log-root DIR where the module's log file lands (default: a private
                 temporary directory, removed after the run)
  --keep         keep the temporary directories and say where they are
  --check        only read the scenario and report errors; run nothing
  --print-demo   print the demonstration scenario and exit
  --help         this text

Exit status: 0 the run went as the scenario expects; 1 it did not (each
failure is listed); 2 bad option or scenario (nothing was run); 3 the module
could not be loaded.
)";

bool ReadFile(const std::string& path, std::string* text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    *text = ss.str();
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

    for (int i = 1; i < argc; ++i)
    {
        const std::string a = argv[i];
        auto value = [&](std::string* dst)
        {
            if (i + 1 >= argc)
            {
                std::cerr << "ktzmon-host: " << a << " needs a value (see --help)\n";
                std::exit(kExitUsage);
            }
            *dst = argv[++i];
        };
        if (a == "--help" || a == "-h")
        {
            std::cout << kHelp;
            return kExitOk;
        }
        else if (a == "--print-demo")
        {
            std::cout << ktzhost::DemoScenarioText();
            return kExitOk;
        }
        else if (a == "--json")
        {
            out.json = true;
        }
        else if (a == "--hex")
        {
            out.hex = true;
        }
        else if (a == "--no-log")
        {
            out.showLog = false;
        }
        else if (a == "--keep")
        {
            run.keepTemp = true;
        }
        else if (a == "--check")
        {
            checkOnly = true;
        }
        else if (a == "--module")
        {
            value(&run.modulePath);
        }
        else if (a == "--ini-dir")
        {
            value(&run.iniDir);
        }
        else if (a == "--log-root")
        {
            value(&run.logRoot);
        }
        else if (a == "--timeline")
        {
            value(&svgPath);
        }
        else if (!a.empty() && a[0] == '-')
        {
            std::cerr << "ktzmon-host: unknown option " << a << " (see --help)\n";
            return kExitUsage;
        }
        else if (scenarioPath.empty())
        {
            scenarioPath = a;
        }
        else
        {
            std::cerr << "ktzmon-host: one scenario at a time (" << scenarioPath << " and " << a << ")\n";
            return kExitUsage;
        }
    }

    std::string text = ktzhost::DemoScenarioText();
    std::string source = "demo.toml (built in)";
    if (!scenarioPath.empty())
    {
        source = scenarioPath;
        if (!ReadFile(scenarioPath, &text))
        {
            std::cerr << "ktzmon-host: cannot read " << scenarioPath << "\n";
            return kExitUsage;
        }
    }
    const ktzhost::ParseResult parsed = ktzhost::ParseScenario(text, source);
    if (!parsed.ok)
    {
        std::cerr << parsed.error << "\nktzmon-host: scenario not run\n";
        return kExitUsage;
    }
    for (const auto& w : parsed.warnings)
    {
        std::cerr << w << "\n";
    }
    if (checkOnly)
    {
        std::cout << source << ": ok (" << parsed.scenario.steps.size() << " steps, "
                  << parsed.scenario.expectations.size() << " expectations)\n";
        return kExitOk;
    }

    ktzhost::RunResult result;
    std::string error;
    if (!ktzhost::RunScenario(parsed.scenario, run, &result, &error))
    {
        std::cerr << "ktzmon-host: " << error << "\n";
        return kExitModule;
    }
    if (out.json)
    {
        ktzhost::WriteJson(std::cout, parsed.scenario, result, out);
    }
    else
    {
        ktzhost::WriteTranscript(std::cout, parsed.scenario, result, out);
    }
    if (!svgPath.empty())
    {
        std::ofstream svg(svgPath);
        ktzhost::WriteTimelineSvg(svg, parsed.scenario, result);
        if (!svg)
        {
            std::cerr << "ktzmon-host: cannot write " << svgPath << "\n";
            return kExitUsage;
        }
    }
    if (run.keepTemp)
    {
        std::cerr << "ktzmon-host: INI directory " << result.iniDir << ", log root " << result.logRoot
                  << "\n";
    }
    if (!result.ok)
    {
        std::cerr << "ktzmon-host: the run did not go as the scenario expects:\n";
        for (const auto& f : result.failures)
        {
            std::cerr << "  " << f << "\n";
        }
        return kExitExpectations;
    }
    return kExitOk;
}
