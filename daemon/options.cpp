// ktzmond's command line (CLI11).
#include "options.h"

#include "cli.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <paths.h>
#include <pwd.h>
#include <unistd.h>

namespace ktzmond
{
namespace
{

bool ParseId(const std::string& s, bool isGroup, uint32_t* id, std::string* error)
{
    if (!s.empty() && s.find_first_not_of("0123456789") == std::string::npos)
    {
        // (uid_t)-1 is no user: it stands for "unchanged" in the system calls.
        if (s.size() > 10 || std::stoull(s) >= 0xFFFFFFFFull)
        {
            *error = std::string(isGroup ? "group" : "user") + " number out of range: " + s;
            return false;
        }
        *id = static_cast<uint32_t>(std::stoull(s));
        return true;
    }
    if (isGroup)
    {
        const group* g = ::getgrnam(s.c_str());
        if (g != nullptr)
        {
            *id = g->gr_gid;
            return true;
        }
    }
    else
    {
        const passwd* p = ::getpwnam(s.c_str());
        if (p != nullptr)
        {
            *id = p->pw_uid;
            return true;
        }
    }
    *error = std::string("no such ") + (isGroup ? "group" : "user") + ": " + s;
    return false;
}

// "sim", "linux" or "linux=CONFIG".
bool ParseChassis(const std::string& text, Options* o, std::string* error)
{
    if (text == "sim")
    {
        o->chassis = ChassisKind::Simulated;
        return true;
    }
    if (text == "linux" || text.rfind("linux=", 0) == 0)
    {
        if (text.size() == 6)
        {
            *error = "--chassis linux=: the configuration file name is missing";
            return false;
        }
        o->chassis = ChassisKind::Linux;
        o->linuxConfig = text.size() > 6 ? text.substr(6) : "";
        return true;
    }
    *error = "--chassis: expected sim, linux or linux=CONFIG, got '" + text + "'";
    return false;
}

} // namespace

const char* ChassisName(ChassisKind k)
{
    return k == ChassisKind::Linux ? "linux" : "simulated";
}

bool LinuxChassisBuilt()
{
#ifdef KTZMOND_HAVE_LINUX_CHASSIS
    return true;
#else
    return false;
#endif
}

bool ParseOptions(int argc, char** argv, Options* o, int* exitCode)
{
    CLI::App app{"ktzmond: hosts the KTZ Monitor module and serves it to client processes over a Unix\n"
                 "socket (and optionally TCP). The chassis is this machine's sensors (--chassis linux) or,\n"
                 "for workstations and tests, a simulated one; ktzmonctl controls it live.",
                 "ktzmond"};
    ktzcli::AddVersion(app, "ktzmond");
    app.footer(
        "Every option can also be given in the --config file, one \"name = value\" line each, without\n"
        "the dashes (quiet = true, allow-group = [\"adm\"]); the command line wins.\n\n"
        "Signals: SIGTERM and SIGINT stop the daemon in order (exit status 0); SIGHUP reads the\n"
        "Linux chassis' configuration file again (and its sensors.conf and KTZ setting), keeping the\n"
        "configuration in force when the new one does not load.\n\n" +
        ktzcli::ExitStatusText("     (it cannot start: socket in use, module not loadable, Load or\n"
                               "     Start-monitor failed, Linux chassis configuration unusable)\n"));
    app.set_config("--config", "", "Read options from this file (name = value lines; see below)")
        ->check(CLI::ExistingFile);
    // A misspelt key in the file is an error, as on the command line.
    app.allow_config_extras(CLI::config_extras_mode::error);
    std::vector<std::string> users, groups;
    std::string chassis = "sim";
    app.add_option("scenario", o->scenarioFile,
                   "Chassis scenario (TOML); the demonstration chassis when omitted")
        ->check(CLI::ExistingFile);
    app.add_option("--chassis", chassis,
                   "sim: the simulated chassis a scenario shapes; linux[=CONFIG]: this machine's hwmon "
                   "sensors and power supplies (CONFIG: the Linux chassis' TOML file)")
        ->capture_default_str();
    app.add_option("--module", o->modulePath, "The module to load (default: libktzmon.so.1)");
    app.add_option("--socket", o->socketPath,
                   "Client socket (default: " + ktzhost::DefaultSocketPath() + ")");
    app.add_option("--control-socket", o->controlPath,
                   "Control socket for ktzmonctl (default: ktzmond.ctl beside "
                   "the client socket)");
    app.add_option("--listen", o->listen,
                   "Also accept clients over TCP on HOST:PORT (loopback only unless "
                   "--allow-remote)");
    app.add_flag("--allow-remote", o->allowRemote, "Allow --listen on an address other than loopback");
    app.add_option("--allow-user", users,
                   "User (name or number) allowed as a client besides this user and root; repeatable");
    app.add_option("--allow-group", groups,
                   "Group (name or number) allowed on the client socket; repeatable");
    app.add_option("--max-clients", o->maxClients, "Clients served at once; the next is refused")
        ->capture_default_str()
        ->check(CLI::Range(1u, 65536u));
    app.add_option("--max-handshakes", o->maxHandshakes,
                   "Connections that have not sent their hello yet; the oldest is closed for a new one")
        ->capture_default_str()
        ->check(CLI::Range(1u, 65536u));
    app.add_flag("--allow-client-ids", o->allowClientIds,
                 "Honour the client ID a hello asks for (several clients may then share one ID)");
    app.add_option("--speed", o->speed, "Run the chassis clock this many times faster than real time")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 1000.0));
    app.add_option("--hello-timeout", o->helloTimeoutMs,
                   "Milliseconds a new connection has to send its hello")
        ->capture_default_str()
        ->check(CLI::Range(10u, 600000u));
    app.add_option(
           "--response-timeout", o->responseTimeoutMs,
           "Milliseconds a client has to answer a message that asks for a response (at most 10000, the "
           "module's dispatch limit)")
        ->capture_default_str()
        ->check(CLI::Range(10u, 10000u));
    app.add_option("--frame-timeout", o->frameTimeoutMs,
                   "Milliseconds a client has to complete a frame once it began sending it")
        ->capture_default_str()
        ->check(CLI::Range(10u, 600000u));
    app.add_option("--queue-bytes", o->queueBytes,
                   "Bytes queued for one client before it is cut off as too slow")
        ->capture_default_str()
        ->check(CLI::Range(size_t{4096}, size_t{1} << 30));
    app.add_option("--queue-frames", o->queueFrames, "Frames queued for one client before it is cut off")
        ->capture_default_str()
        ->check(CLI::Range(size_t{4}, size_t{1} << 24));
    app.add_option("--send-buffer", o->sendBuffer,
                   "Socket send buffer of each client connection in bytes "
                   "(0: the system's default)")
        ->check(CLI::Range(0, 1 << 26));
    app.add_option("--log-dir", o->logDir,
                   "Keep the module's diagnostic log as ktzmon.log in this directory, every line with its "
                   "time (default: no file; the lines go to standard error, the journal under systemd)");
    app.add_flag("--quiet", o->quiet, "Do not copy the module's log lines to standard error");
    app.add_option("--ini", o->moduleIni,
                   "The module's INI settings (default: $KTZPLAT_INI_DIR/ktzmonst32.ini when it exists)")
        ->check(CLI::ExistingFile);
    app.add_option("--name", o->name, "The daemon's name in its welcome")->capture_default_str();
    const int parsed = ktzcli::Parse(app, argc, argv);
    if (parsed >= 0)
    {
        *exitCode = parsed;
        return false;
    }
    std::string error;
    if (!ParseChassis(chassis, o, &error))
    {
        std::fprintf(stderr, "ktzmond: %s\n", error.c_str());
        *exitCode = 2;
        return false;
    }
    if (o->chassis == ChassisKind::Linux)
    {
        const char* refusal = nullptr;
        if (!LinuxChassisBuilt())
        {
            refusal = "--chassis linux: this ktzmond was built without the Linux chassis (libsensors)";
        }
        else if (!o->scenarioFile.empty())
        {
            refusal = "--chassis linux serves this machine's sensors; a scenario shapes only the simulated "
                      "chassis (drop the scenario argument, or use --chassis sim)";
        }
        else if (o->speed != 1.0)
        {
            refusal = "--chassis linux runs on the real clock; --speed applies to the simulated chassis only";
        }
        if (refusal != nullptr)
        {
            std::fprintf(stderr, "ktzmond: %s\n", refusal);
            *exitCode = 2;
            return false;
        }
    }
    for (const auto& u : users)
    {
        uint32_t id = 0;
        if (!ParseId(u, false, &id, &error))
        {
            std::fprintf(stderr, "ktzmond: %s\n", error.c_str());
            *exitCode = 2;
            return false;
        }
        o->allowUsers.push_back(id);
    }
    for (const auto& g : groups)
    {
        uint32_t id = 0;
        if (!ParseId(g, true, &id, &error))
        {
            std::fprintf(stderr, "ktzmond: %s\n", error.c_str());
            *exitCode = 2;
            return false;
        }
        o->allowGroups.push_back(id);
    }

    if (o->socketPath.empty())
    {
        o->socketPath = ktzhost::DefaultSocketPath();
    }
    if (o->controlPath.empty())
    {
        o->controlPath = ktzhost::DefaultControlPath(o->socketPath);
    }
    return true;
}

} // namespace ktzmond
