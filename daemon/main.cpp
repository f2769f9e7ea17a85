// ktzmond: hosts the KTZ Monitor module on the platform stand-in's simulated
// chassis and serves it live to client processes over a Unix socket (and
// optionally TCP); ktzmonctl reaches it over a separate control socket.
#include "control.h"
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
#include <scenario.h>
#include <sstream>

namespace
{

void EchoModuleLog(const std::string& msg, void*)
{
    std::string line = msg;
    while (!line.empty() && line.back() == '\n')
    {
        line.pop_back();
    }
    std::fprintf(stderr, "module: %s\n", line.c_str());
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
    const ktzhost::ParseResult parsed = ktzhost::ParseScenario(text, source);
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

    // Sockets first: a second daemon on the same path stops here.
    std::string error, note;
    for (const std::string& path : {opts.socketPath, opts.controlPath})
    {
        note.clear();
        if (!ClaimSocketPath(path, &error, &note))
        {
            std::fprintf(stderr, "ktzmond: %s\n", error.c_str());
            return 1;
        }
        if (!note.empty())
        {
            hub.Log(note);
        }
    }
    auto clients = ListenUnix(io, opts.socketPath, 0660, &error);
    auto control = clients ? ListenUnix(io, opts.controlPath, 0600, &error) : nullptr;
    std::unique_ptr<asio::ip::tcp::acceptor> tcp;
    if (clients && control && !opts.listen.empty())
    {
        tcp = ListenTcp(io, opts.listen, opts.allowRemote, &error);
    }
    auto removeSockets = [&]
    {
        std::error_code ec;
        if (clients)
        {
            clients->close();
            std::filesystem::remove(opts.socketPath, ec);
        }
        if (control)
        {
            control->close();
            std::filesystem::remove(opts.controlPath, ec);
        }
        if (tcp)
        {
            tcp->close();
        }
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
    ktzhost::WriteIni(parsed.scenario, tempDir + "/ini", platformIni);
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
    playback.SetUp();
    if (!module.Open(opts.modulePath, &error))
    {
        std::fprintf(stderr, "ktzmond: %s\n", error.c_str());
        removeSockets();
        std::filesystem::remove_all(tempDir, ec);
        return 1;
    }

    int status = 0;
    bool stopping = false;
    Control ctl(hub, playback);
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
            playback.Start();
            const std::string serving = "serving clients on " + opts.socketPath +
                                        (tcp ? " and " + opts.listen : "") + ", control on " +
                                        opts.controlPath;
            hub.Log(serving);
            // The accept loops were started before the module, so clients
            // are served from here on.
            NotifyReady(serving);
        });
    AcceptUnixClients(*clients, hub);
    if (tcp)
    {
        AcceptTcpClients(*tcp, hub);
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
    if (ktzplat::WaitIdle(5000) && ktzplat::LiveThreadCount() == 0)
    {
        module.Close();
    }
    ktzplat::SetLogObserver(nullptr, nullptr);
    std::filesystem::remove_all(tempDir, ec);
    hub.Log(status == 0 ? "stopped" : "stopped after an error");
    return status;
}
