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

#include <csignal>
#include <files.h>
#include <filesystem>
#include <fstream>
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

void EchoModuleLog(const std::string& msg, void*)
{
    std::string line = msg;
    while (!line.empty() && line.back() == '\n')
    {
        line.pop_back();
    }
    std::fprintf(stderr, "module: %s\n", ktzhost::Printable(line, 4096).c_str());
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

    // The module's INI file and diagnostic log live in a private directory
    // unless a log directory is given.
    const std::string tempDir = ktzhost::MakeTempDir("ktzmond");
    if (tempDir.empty())
    {
        std::fprintf(stderr, "ktzmond: cannot create a temporary directory\n");
        removeSockets();
        return 1;
    }
    const std::string platformIni = ktzplat::IniDir() + "/ktzmonst32.ini";
    std::error_code ec;
    std::filesystem::create_directories(tempDir + "/ini", ec);
    std::string iniError;
    if (!ktzhost::WriteIni(parsed.scenario, tempDir + "/ini", platformIni, &iniError))
    {
        std::fprintf(stderr, "ktzmond: %s\n", iniError.c_str());
        removeSockets();
        std::filesystem::remove_all(tempDir, ec);
        return 1;
    }
    ktzplat::SetIniDir(tempDir + "/ini");
    ktzplat::SetLogRoot(opts.logDir.empty() ? tempDir + "/log" : opts.logDir);
    if (!opts.quiet)
    {
        ktzplat::SetLogObserver(&EchoModuleLog, nullptr);
    }

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
            std::filesystem::remove_all(tempDir, ec);
            return 1;
        }
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
        std::filesystem::remove_all(tempDir, ec);
        return 1;
    }

    int status = 0;
    bool stopping = false;
    if (linuxChassis)
    {
        hub.SetAfterUnload(&UninstallLinux);
    }
    Control ctl(hub, linuxChassis ? nullptr : &playback, ChassisName(opts.chassis), opts.linuxConfig);
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
    std::filesystem::remove_all(tempDir, ec);
    hub.Log(status == 0 ? "stopped" : "stopped after an error");
    return status;
}
