// ktzmond: hosts the KTZ Monitor module on the platform stand-in's simulated
// chassis, or on the Linux machine's own sensors, and serves it live to
// client processes over a Unix socket (and optionally TCP); ktzmonctl reaches
// it over a separate control socket.
#include "access.h"
#include "control.h"
#include "fdlimit.h"
#include "hub.h"
#include "listener.h"
#include "notify.h"
#include "options.h"
#include "playback.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <files.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ktzplatform_control.h>
#include <module.h>
#include <paths.h>
#include <scenario.h>
#include <sstream>
#include <text.h>

#ifdef KTZMOND_HAVE_LINUX_CHASSIS
#include "linux_source.h"
#endif

namespace
{

constexpr const char* kKtzSettingKey = "ZNB_KelvanorMode";

// Installs the Linux machine as the chassis (before the module is loaded);
// false with the reason when it cannot be.
bool InstallLinux(const std::string& config, std::string* error)
{
#ifdef KTZMOND_HAVE_LINUX_CHASSIS
    try
    {
        ktzlinux::InstallLinuxChassis(config);
        return true;
    }
    catch (const std::exception& e)
    {
        *error = e.what();
        return false;
    }
#else
    (void)config;
    *error = "this ktzmond was built without the Linux chassis";
    return false;
#endif
}

void UninstallLinux()
{
#ifdef KTZMOND_HAVE_LINUX_CHASSIS
    ktzlinux::UninstallLinuxChassis();
#endif
}

void EchoModuleLog(const std::string& msg, void* hub)
{
    std::string line = msg;
    while (!line.empty() && line.back() == '\n')
    {
        line.pop_back();
    }
    static_cast<ktzmond::Hub*>(hub)->Log("module: " + line);
}

// Where the module's INI file and diagnostic log are. Under systemd
// (RuntimeDirectory=) the INI file goes to the service's runtime directory,
// where the operator finds it; otherwise to a private directory under $TMPDIR
// that is removed at exit. The log is DIR/ktzmon.log with --log-dir, every
// line with its time, and else no file at all: the lines go to standard
// error, which is the journal under systemd.
struct ModuleFiles
{
    std::string privateDir; // removed at exit; empty under systemd
    std::string iniDir;
    std::string iniFile; // the INI file written, or empty
    std::string logFile; // empty: no file

    ~ModuleFiles()
    {
        std::error_code ec;
        if (!privateDir.empty())
        {
            std::filesystem::remove_all(privateDir, ec);
        }
        else if (!iniFile.empty())
        {
            std::filesystem::remove(iniFile, ec);
        }
    }
};

bool SetUpModuleFiles(const ktzmond::Options& opts, const ktzhost::Scenario& scenario, ModuleFiles* files,
                      std::string* error)
{
    const char* runtime = std::getenv("RUNTIME_DIRECTORY");
    if (runtime != nullptr && *runtime != '\0')
    {
        // systemd lists several directories separated by colons.
        const std::string dirs = runtime;
        files->iniDir = dirs.substr(0, dirs.find(':'));
    }
    else
    {
        files->privateDir = ktzhost::MakeTempDir("ktzmond", error);
        if (files->privateDir.empty())
        {
            return false;
        }
        files->iniDir = files->privateDir;
    }
    const std::string source =
        opts.moduleIni.empty() ? ktzplat::IniDir() + "/ktzmonst32.ini" : opts.moduleIni;
    if (!ktzhost::WriteIni(scenario, files->iniDir, source, error))
    {
        return false;
    }
    std::error_code ec;
    if (std::filesystem::exists(files->iniDir + "/ktzmonst32.ini", ec))
    {
        files->iniFile = files->iniDir + "/ktzmonst32.ini";
    }
    ktzplat::SetIniDir(files->iniDir);
    if (opts.logDir.empty())
    {
        ktzplat::SetLogFileWrites(false);
    }
    else
    {
        ktzplat::SetLogRoot(opts.logDir);
        ktzplat::SetLogFileStyle(true, true);
        files->logFile = ktzplat::ResolveLogPath("/tmp/ktzmon.log");
    }
    return true;
}

// Sensor counts by type for the status reply: what the Linux chassis found,
// or what the scenario's chassis has.
nlohmann::json SensorCounts(bool linuxChassis, const ktzhost::Scenario& sc)
{
    nlohmann::json j = nlohmann::json::object();
#ifdef KTZMOND_HAVE_LINUX_CHASSIS
    if (linuxChassis)
    {
        if (const auto summary = ktzlinux::InstalledLinuxChassis())
        {
            const ktzlinux::SensorCounts& c = summary->counts;
            j = {{"fans", c.fans},
                 {"temperatures", c.temperatures},
                 {"powerSupplies", c.supplies},
                 {"impliedSupply", c.impliedSupply},
                 {"powerRedundancy", c.redundancy}};
        }
        return j;
    }
#endif
    (void)linuxChassis;
    uint32_t bays = sc.psuBays >= 0 ? static_cast<uint32_t>(sc.psuBays) : 0;
    for (const ktzhost::PsuDef& p : sc.psus)
    {
        bays = sc.psuBays >= 0 ? bays : std::max(bays, p.bay);
    }
    return {{"fans", sc.fans.size()},
            {"temperatures", 1 + sc.stash.size()},
            {"powerSupplies", bays},
            {"impliedSupply", false},
            {"powerRedundancy", sc.redundancyConfig != 0}};
}

// What the Linux chassis serves, said at the start; a machine without any
// sensor is told so plainly.
void LogLinuxInventory(ktzmond::Hub& hub)
{
#ifdef KTZMOND_HAVE_LINUX_CHASSIS
    const auto summary = ktzlinux::InstalledLinuxChassis();
    if (!summary)
    {
        return;
    }
    for (const std::string& line : summary->inventory)
    {
        hub.Log("Linux chassis: " + line);
    }
    const ktzlinux::SensorCounts& c = summary->counts;
    if (c.fans + c.temperatures == 0 && c.impliedSupply)
    {
        hub.Log("Linux chassis: no sensors found: hwmon shows no fan, temperature or power supply (is the "
                "sensor driver loaded? 'sensors -u' lists what libsensors sees); clients get a temperature "
                "of unknown status and the machine's own power input");
        return;
    }
    if (c.fans == 0)
    {
        hub.Log("Linux chassis: no fans found");
    }
    if (c.temperatures == 0)
    {
        hub.Log("Linux chassis: no temperatures found; the chassis temperature reports status unknown");
    }
    if (c.impliedSupply)
    {
        hub.Log("Linux chassis: no power supplies found: bay 1 stands for the machine's own power input "
                "(present, sound), without redundancy");
    }
#else
    (void)hub;
#endif
}

// SIGHUP: the Linux chassis' configuration file is read again; a file that
// does not load leaves everything as it was. The daemon's own options are
// read at the start only.
void Reload(ktzmond::Hub& hub, bool linuxChassis)
{
    if (!linuxChassis)
    {
        hub.Log("SIGHUP: the simulated chassis has no configuration to read again");
        return;
    }
#ifdef KTZMOND_HAVE_LINUX_CHASSIS
    try
    {
        for (const std::string& note : ktzlinux::ReloadLinuxChassis())
        {
            hub.Log("SIGHUP: " + note);
        }
        hub.Log("SIGHUP: Linux chassis configuration read again");
    }
    catch (const std::exception& e)
    {
        hub.Log(std::string("SIGHUP: configuration not changed: ") + e.what());
    }
#endif
}

} // namespace

int main(int argc, char** argv)
{
    using namespace ktzmond;
    Options opts;
    int exitCode = 0;
    if (!ParseOptions(argc, argv, &opts, &exitCode))
    {
        return exitCode;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Until the handler below is in place, a hangup must not end the start.
    std::signal(SIGHUP, SIG_IGN);

    // The Linux machine needs no scenario: its sensors are the chassis.
    const bool linuxChassis = opts.chassis == ChassisKind::Linux;
    std::string text = ktzhost::DemoScenarioText();
    std::string source = "demonstration chassis";
    if (!opts.scenarioFile.empty())
    {
        std::ifstream in(opts.scenarioFile);
        std::stringstream ss;
        ss << in.rdbuf();
        text = ss.str();
        source = opts.scenarioFile;
    }
    ktzhost::ParseResult parsed;
    if (linuxChassis)
    {
        parsed.ok = true;
        source = "Linux chassis" + (opts.linuxConfig.empty() ? "" : " (" + opts.linuxConfig + ")");
    }
    else
    {
        parsed = ktzhost::ParseScenario(text, source);
    }
    if (!parsed.ok)
    {
        std::fprintf(stderr, "ktzmond: %s\n", parsed.error.c_str());
        return 2;
    }

    asio::io_context io;
    ktzhost::ModuleHost module;
    Hub hub(io, opts, module);
    hub.Log("ktzmond starting: " + source +
            (parsed.scenario.title.empty() ? "" : " (" + parsed.scenario.title + ")"));
    // One descriptor per connection, and some for the daemon's own files.
    hub.Log(RaiseDescriptorLimit(uint64_t{opts.maxClients} + opts.maxHandshakes + 64));

    // Sockets first: a second daemon on the same path stops here. Their
    // folders must be the daemon user's own; only its runtime folder is
    // created.
    const AccessPolicy policy = MakeAccessPolicy(opts);
    std::string error, note;
    SocketClaim clientClaim, controlClaim;
    for (auto* claim : {&clientClaim, &controlClaim})
    {
        const std::string& path = claim == &clientClaim ? opts.socketPath : opts.controlPath;
        note.clear();
        if (!ktzhost::PrepareSocketDir(path, policy.dirMode, &error) || !claim->Claim(path, &error, &note))
        {
            std::fprintf(stderr, "ktzmond: %s\n", error.c_str());
            return 1;
        }
        if (!note.empty())
        {
            hub.Log(note);
        }
    }
    note.clear();
    auto clients = ListenUnix(io, opts.socketPath, policy.socketMode, policy.socketGroup, &error, &note);
    if (clients)
    {
        clientClaim.Created();
    }
    if (!note.empty())
    {
        hub.Log(note);
    }
    auto control = clients ? ListenUnix(io, opts.controlPath, 0600, std::nullopt, &error, &note) : nullptr;
    if (control)
    {
        controlClaim.Created();
    }
    std::unique_ptr<asio::ip::tcp::acceptor> tcp;
    if (clients && control && !opts.listen.empty())
    {
        tcp = ListenTcp(io, opts.listen, opts.allowRemote, &error);
    }
    auto removeSockets = [&]
    {
        if (clients)
        {
            clients->close();
        }
        if (control)
        {
            control->close();
        }
        if (tcp)
        {
            tcp->close();
        }
        clientClaim.Release();
        controlClaim.Release();
    };
    if (!clients || !control || (!opts.listen.empty() && !tcp))
    {
        std::fprintf(stderr, "ktzmond: %s\n", error.c_str());
        removeSockets();
        return 1;
    }

    // The module keeps none of its log lines in memory here: the daemon runs
    // for months, and nothing reads them back.
    ktzplat::SetLoggedMessageLimit(0);
    // A chassis change arrives on the control socket (or from the timeline)
    // and its data event goes to the module's listener on that same thread,
    // without a hand-over to the platform's delivery thread. Neither poster
    // holds a lock the listener takes (Playback's chassis lock is only ever
    // taken by the posters).
    ktzplat::SetDataEventsOnPostingThread(true);
    ModuleFiles files;
    if (!SetUpModuleFiles(opts, parsed.scenario, &files, &error))
    {
        std::fprintf(stderr, "ktzmond: %s\n", error.c_str());
        removeSockets();
        return 1;
    }
    if (!opts.quiet)
    {
        ktzplat::SetLogObserver(&EchoModuleLog, &hub);
    }
    std::error_code ec;

    if (opts.modulePath.empty())
    {
        opts.modulePath =
            std::filesystem::exists(KTZMOND_MODULE_PATH, ec) ? KTZMOND_MODULE_PATH : "libktzmon.so.1";
    }
    Playback playback(parsed.scenario, opts.speed, [&hub](const std::string& l) { hub.Log(l); });
    if (linuxChassis)
    {
        // The real clock, and monitoring on unless the configuration file's
        // KTZ setting says otherwise.
        ktzplat::UseRealClock();
        ktzplat::ConfigSet(kKtzSettingKey, "1");
        if (!InstallLinux(opts.linuxConfig, &error))
        {
            std::fprintf(stderr, "ktzmond: Linux chassis: %s\n", error.c_str());
            removeSockets();
            return 1;
        }
        LogLinuxInventory(hub);
    }
    else
    {
        playback.SetUp();
    }
    if (!module.Open(opts.modulePath, &error))
    {
        std::fprintf(stderr, "ktzmond: %s\n", error.c_str());
        UninstallLinux();
        removeSockets();
        return 1;
    }

    int status = 0;
    bool stopping = false;
    if (linuxChassis)
    {
        hub.SetAfterUnload(&UninstallLinux);
    }
    Control ctl(hub, linuxChassis ? nullptr : &playback, ChassisName(opts.chassis), opts.linuxConfig);
    ctl.SetStatusExtra(
        [&](nlohmann::json& reply)
        {
            reply["sensors"] = SensorCounts(linuxChassis, parsed.scenario);
            reply["moduleLog"] = files.logFile;
            reply["moduleIni"] = files.iniFile;
        });
    auto stop = [&](int code)
    {
        if (stopping)
        {
            return;
        }
        stopping = true;
        status = code;
        NotifyStopping();
        removeSockets();
        hub.Shutdown([&playback] { playback.Stop(); }, [&io] { io.stop(); });
    };
    hub.StartModule(
        [&](bool ok, const std::string& why)
        {
            if (!ok)
            {
                hub.Log("the module did not start: " + why);
                stopping = true;
                status = 1;
                removeSockets();
                io.stop();
                return;
            }
            if (!linuxChassis)
            {
                playback.Start();
            }
            const std::string serving = "serving clients on " + opts.socketPath +
                                        (tcp ? " and " + opts.listen : "") + ", control on " +
                                        opts.controlPath;
            hub.Log(serving);
            // The accept loops were started before the module, so clients
            // are served from here on.
            NotifyReady(serving);
        });
    AcceptRetry clientRetry(io), tcpRetry(io);
    AcceptUnixClients(*clients, hub, clientRetry);
    if (tcp)
    {
        AcceptTcpClients(*tcp, hub, tcpRetry);
    }
    ctl.Serve(*control);

    asio::signal_set signals(io, SIGTERM, SIGINT);
    signals.async_wait(
        [&](const asio::error_code& sigEc, int sig)
        {
            if (!sigEc)
            {
                hub.Log(std::string("stopping on ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT"));
                stop(0);
            }
        });
    // SIGHUP reads the configuration again, as often as it comes, and never
    // ends the daemon.
    asio::signal_set hangups(io, SIGHUP);
    std::function<void()> awaitHangup = [&]
    {
        hangups.async_wait(
            [&](const asio::error_code& sigEc, int)
            {
                if (sigEc || stopping)
                {
                    return;
                }
                Reload(hub, linuxChassis);
                awaitHangup();
            });
    };
    awaitHangup();

    // The I/O thread runs until the shutdown's last step stops it, even at
    // moments when it has nothing to wait for (the module stopping on the
    // worker thread).
    auto keepRunning = asio::make_work_guard(io);
    io.run();
    playback.Stop();
    // The Linux chassis goes once the module is unloaded (already done when
    // the module was started), before the library is closed.
    UninstallLinux();
    if (ktzplat::WaitIdle(5000) && ktzplat::LiveThreadCount() == 0)
    {
        module.Close();
    }
    ktzplat::SetLogObserver(nullptr, nullptr);
    hub.Log(status == 0 ? "stopped" : "stopped after an error");
    return status;
}
