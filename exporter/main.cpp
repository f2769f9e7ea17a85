// ktzmon-exporter: a client of ktzmond that keeps the latest chassis picture
// and serves it to Prometheus at /metrics. A daemon that is not there (yet,
// or any more) is waited for with back-off; while there is no connection the
// chassis series are absent and ktzmon_exporter_connected is 0.
#include "backoff.h"
#include "cli.h"
#include "ktzclient_decode.h"
#include "metrics.h"
#include "paths.h"

#include <ktzmon/protocol.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <ktzclient/ktzclient.h>
#include <memory>
#include <poll.h>
#include <prometheus/exposer.h>
#include <prometheus/registry.h>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>
#ifdef KTZEXPORTER_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace
{

void Notify([[maybe_unused]] const char* state)
{
#ifdef KTZEXPORTER_SYSTEMD
    sd_notify(0, state);
#endif
}

// The signal descriptor is readable once SIGTERM, SIGINT or SIGHUP arrived.
// Waits at most `ms` (negative: no limit) for a stop signal or for `fd` (-1:
// none); true when SIGTERM or SIGINT came. A SIGHUP is taken and answered
// with a note: the settings are read at the start only, and a hangup must
// not end the exporter.
bool WaitSignal(int sigfd, int fd, int ms, bool* readable)
{
    while (true)
    {
        pollfd p[2] = {{sigfd, POLLIN, 0}, {fd, POLLIN, 0}};
        const int n = ::poll(p, fd >= 0 ? 2 : 1, ms);
        if (readable != nullptr)
        {
            *readable = n > 0 && fd >= 0 && p[1].revents != 0;
        }
        if (n <= 0 || p[0].revents == 0)
        {
            return false;
        }
        signalfd_siginfo info{};
        if (::read(sigfd, &info, sizeof info) == static_cast<ssize_t>(sizeof info) &&
            info.ssi_signo == SIGHUP)
        {
            std::cerr << "ktzmon-exporter: SIGHUP: nothing to read again (settings apply at the start)\n";
            if (readable != nullptr && *readable)
            {
                return false;
            }
            continue;
        }
        return true;
    }
}

struct Target
{
    std::string socketPath;
    std::string host;
    uint16_t port = 0;

    std::string Text() const { return host.empty() ? socketPath : host + ":" + std::to_string(port); }
    ktzc_error Connect(ktzc_client* c) const
    {
        return host.empty() ? ktzc_connect_unix(c, socketPath.c_str())
                            : ktzc_connect_tcp(c, host.c_str(), port);
    }
};

// Reads one connection until it is lost or a signal comes; true on a signal.
bool Serve(ktzc_client* c, int sigfd, ktzexporter::ChassisMetrics& metrics)
{
    while (true)
    {
        if (ktzc_pending(c) == 0)
        {
            bool readable = false;
            if (WaitSignal(sigfd, ktzc_fd(c), -1, &readable))
            {
                return true;
            }
            if (!readable)
            {
                continue;
            }
        }
        ktzc_event ev;
        const ktzc_error e = ktzc_receive(c, 0, &ev);
        if (e == KTZC_ERR_TIMEOUT)
        {
            continue;
        }
        if (e != KTZC_OK)
        {
            std::cerr << "ktzmon-exporter: connection lost: " << ktzc_error_text(c) << "\n";
            return false;
        }
        if (ev.kind != KTZC_EVENT_MESSAGE)
        {
            continue; // the library's own reconnecting is off
        }
        const ktzc_message& m = ev.message;
        const auto d = ktzclient::Decode(m.request_class, m.request_type, m.raw, m.raw_size);
        if (d.ok)
        {
            metrics.Apply(d.value);
        }
        else
        {
            metrics.DecodeFailed();
            std::cerr << "ktzmon-exporter: ignored a message: " << d.error << "\n";
        }
    }
}

int Main(int argc, char** argv)
{
    CLI::App app{"ktzmon-exporter: serve the KTZ Monitor's chassis picture from ktzmond as Prometheus "
                 "metrics.",
                 "ktzmon-exporter"};
    ktzcli::AddVersion(app, "ktzmon-exporter");
    app.footer(
        "Every option can also be given in the --config file, one \"name = value\" line each, without\n"
        "the dashes (listen = \"127.0.0.1:9464\"); the command line wins.\n\n"
        "Signals: SIGTERM and SIGINT stop it (exit status 0); SIGHUP is noted and ignored.\n\n" +
        ktzcli::ExitStatusText("     (it cannot listen on the HTTP address; a daemon that cannot be\n"
                               "     reached is no failure: it is waited for)\n"));
    app.set_config("--config", "", "Read options from this file (name = value lines; see below)")
        ->check(CLI::ExistingFile);
    app.allow_config_extras(CLI::config_extras_mode::error);
    std::string socketPath;
    std::string connectTo;
    std::string listen = "127.0.0.1:9464";
    double retryFirst = 0.5;
    double retryMax = 30;
    auto* sockOpt =
        app.add_option("--socket", socketPath,
                       "Unix socket of the daemon (default: /run/ktzmon/ktzmond.sock for root, else "
                       "$XDG_RUNTIME_DIR/ktzmon/ktzmond.sock, else /tmp/ktzmon-UID/ktzmond.sock)");
    auto* connOpt = app.add_option("--connect", connectTo, "TCP address of the daemon, HOST:PORT");
    sockOpt->excludes(connOpt);
    app.add_option("--listen", listen, "Address of the HTTP listener, HOST:PORT (port 0: any free port)")
        ->capture_default_str();
    app.add_option("--retry-first", retryFirst, "Seconds before the first attempt to reach the daemon again")
        ->check(CLI::Range(0.01, 3600.0))
        ->capture_default_str();
    app.add_option("--retry-max", retryMax, "Longest wait between attempts, in seconds (the wait doubles)")
        ->check(CLI::Range(0.01, 3600.0))
        ->capture_default_str();
    if (const int rc = ktzcli::Parse(app, argc, argv); rc >= 0)
    {
        return rc;
    }

    Target target;
    if (!connectTo.empty() && !ktzhost::SplitHostPort(connectTo, false, &target.host, &target.port))
    {
        std::cerr << "ktzmon-exporter: --connect: expected HOST:PORT, got '" << connectTo << "'\n";
        return ktzcli::kExitUsage;
    }
    target.socketPath = connectTo.empty() && socketPath.empty() ? ktzhost::DefaultSocketPath() : socketPath;
    std::string listenHost;
    uint16_t listenPort = 0;
    if (!ktzhost::SplitHostPort(listen, true, &listenHost, &listenPort))
    {
        std::cerr << "ktzmon-exporter: --listen: expected HOST:PORT, got '" << listen << "'\n";
        return ktzcli::kExitUsage;
    }

    // SIGTERM, SIGINT and SIGHUP are taken from a descriptor by the main
    // thread; the HTTP threads, started after this, inherit the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    (void)std::signal(SIGPIPE, SIG_IGN);
    const int sigfd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (sigfd < 0)
    {
        std::perror("ktzmon-exporter: signalfd");
        return 1;
    }

    auto registry = std::make_shared<prometheus::Registry>();
    ktzexporter::ChassisMetrics metrics(*registry, ktzcli::Version());
    std::unique_ptr<prometheus::Exposer> exposer;
    try
    {
        const std::string bind = listenHost.find(':') != std::string::npos
                                     ? "[" + listenHost + "]:" + std::to_string(listenPort)
                                     : listen;
        exposer = std::make_unique<prometheus::Exposer>(bind, 2);
        exposer->RegisterCollectable(registry);
    }
    catch (const std::exception& e)
    {
        std::cerr << "ktzmon-exporter: cannot listen on " << listen << ": " << e.what() << "\n";
        ::close(sigfd);
        return ktzcli::kExitFailure;
    }
    const std::vector<int> ports = exposer->GetListeningPorts();
    std::cerr << "ktzmon-exporter: serving http://"
              << (listenHost.find(':') != std::string::npos ? "[" + listenHost + "]" : listenHost) << ":"
              << (ports.empty() ? listenPort : ports.front()) << "/metrics for " << target.Text()
              << std::endl;
    Notify("READY=1");

    ktzc_options o;
    ktzc_options_init(&o);
    // Chassis log events reach only clients that say they take them.
    o.caps = KTZMON_CAP_BASE | KTZMON_CAP_VQ_LOG_EVT;
    o.name = "ktzmon-exporter";
    o.connect_timeout_ms = 3000;
    ktzc_client* c = ktzc_new(&o);
    if (c == nullptr)
    {
        std::cerr << "ktzmon-exporter: out of memory\n";
        ::close(sigfd);
        return 1;
    }

    ktzexporter::Backoff backoff(static_cast<int>(retryFirst * 1000), static_cast<int>(retryMax * 1000));
    bool everConnected = false;
    bool waitingSaid = false;
    bool stop = false;
    while (!stop)
    {
        if (target.Connect(c) != KTZC_OK)
        {
            if (!waitingSaid)
            {
                std::cerr << "ktzmon-exporter: waiting for the daemon at " << target.Text() << ": "
                          << ktzc_error_text(c) << "\n";
                waitingSaid = true;
            }
            stop = WaitSignal(sigfd, -1, backoff.Next(), nullptr);
            continue;
        }
        std::cerr << "ktzmon-exporter: connected to " << target.Text() << " as client " << ktzc_client_id(c)
                  << std::endl;
        backoff.Reset();
        waitingSaid = false;
        metrics.Connected(everConnected);
        everConnected = true;
        stop = Serve(c, sigfd, metrics);
        metrics.Disconnected();
        ktzc_close(c);
        if (!stop)
        {
            stop = WaitSignal(sigfd, -1, backoff.Next(), nullptr);
        }
    }

    Notify("STOPPING=1");
    ktzc_free(c);
    exposer.reset();
    ::close(sigfd);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try
    {
        return Main(argc, argv);
    }
    catch (const std::exception& e)
    {
        std::cerr << "ktzmon-exporter: " << e.what() << "\n";
        return 1;
    }
}
