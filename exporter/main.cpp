// ktzmon-exporter: a client of ktzmond that keeps the latest chassis picture
// and serves it to Prometheus at /metrics. A daemon that is not there (yet,
// or any more) is waited for with back-off; while there is no connection the
// chassis series are absent and ktzmon_exporter_connected is 0.
#include "cli.h"
#include "ktzclient_decode.h"
#include "metrics.h"
#include "paths.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
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

struct Target
{
    std::string socketPath;
    std::string host;
    uint16_t port = 0;

    std::string Text() const { return host.empty() ? socketPath : host + ":" + std::to_string(port); }
    // Starts connecting; the library carries the attempts on with back-off.
    ktzc_error Start(ktzc_client* c) const
    {
        return host.empty() ? ktzc_start_unix(c, socketPath.c_str()) : ktzc_start_tcp(c, host.c_str(), port);
    }
};

void Apply(const ktzc_message& m, ktzexporter::ChassisMetrics& metrics)
{
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

// Takes the signal that made the descriptor readable: true for SIGTERM and
// SIGINT. A SIGHUP is answered with a note: the settings are read at the
// start only, and a hangup must not end the exporter.
bool StopSignal(int sigfd)
{
    signalfd_siginfo info{};
    if (::read(sigfd, &info, sizeof info) == static_cast<ssize_t>(sizeof info) && info.ssi_signo == SIGHUP)
    {
        std::cerr << "ktzmon-exporter: SIGHUP: nothing to read again (settings apply at the start)\n";
        return false;
    }
    return true;
}

// Follows the daemon until SIGTERM or SIGINT: the library connects, waits for
// an absent daemon and reconnects after a loss, with the back-off of
// --retry-first and --retry-max; this loop waits on its descriptor and on the
// signal descriptor, never on a timer of its own. A daemon that refuses the
// exporter for good (its version, its credentials, an unsafe socket folder)
// is tried again after the longest delay.
void Follow(ktzc_client* c, const Target& target, int sigfd, int retryMaxMs,
            ktzexporter::ChassisMetrics& metrics)
{
    using Clock = std::chrono::steady_clock;
    bool everConnected = false;
    bool waitingSaid = false;
    bool restartPending = target.Start(c) != KTZC_OK;
    auto restartAt = Clock::now() + std::chrono::milliseconds(retryMaxMs);
    while (true)
    {
        if (restartPending && !waitingSaid)
        {
            std::cerr << "ktzmon-exporter: waiting for the daemon at " << target.Text() << ": "
                      << ktzc_error_text(c) << "\n";
            waitingSaid = true;
        }
        int timeout = ktzc_timeout_ms(c);
        if (restartPending)
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(restartAt - Clock::now());
            timeout = static_cast<int>(std::max<long long>(0, left.count()));
        }
        pollfd p[2] = {{sigfd, POLLIN, 0}, {ktzc_fd(c), static_cast<short>(ktzc_fd_events(c)), 0}};
        if (::poll(p, 2, timeout) > 0 && p[0].revents != 0 && StopSignal(sigfd))
        {
            return;
        }
        if (restartPending)
        {
            if (Clock::now() >= restartAt)
            {
                restartPending = target.Start(c) != KTZC_OK;
                restartAt = Clock::now() + std::chrono::milliseconds(retryMaxMs);
            }
            continue;
        }
        const ktzc_event* ev = nullptr;
        ktzc_error e;
        while ((e = ktzc_receive(c, 0, &ev)) == KTZC_OK)
        {
            switch (ev->kind)
            {
            case KTZC_EVENT_CONNECTED:
            case KTZC_EVENT_RECONNECTED:
                std::cerr << "ktzmon-exporter: connected to " << target.Text() << " as client "
                          << ev->client_id << std::endl;
                metrics.Connected(everConnected);
                everConnected = true;
                waitingSaid = false;
                break;
            case KTZC_EVENT_DISCONNECTED:
                std::cerr << "ktzmon-exporter: connection lost: " << ev->text << "\n";
                metrics.Disconnected();
                waitingSaid = true; // the loss says it; the library reconnects
                break;
            case KTZC_EVENT_MESSAGE: Apply(*ev->message, metrics); break;
            case KTZC_EVENT_REPLY: break;
            }
        }
        if (e != KTZC_ERR_TIMEOUT)
        {
            // The retries ended for good; start over after the longest delay.
            restartPending = true;
            restartAt = Clock::now() + std::chrono::milliseconds(retryMaxMs);
            waitingSaid = false;
            ktzc_close(c);
        }
        else if (ktzc_get_state(c) == KTZC_STATE_WAITING && !waitingSaid)
        {
            std::cerr << "ktzmon-exporter: waiting for the daemon at " << target.Text() << ": "
                      << ktzc_error_text(c) << "\n";
            waitingSaid = true;
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
    ktzcli::DaemonOptions daemon;
    std::string listen = "127.0.0.1:9464";
    ktzcli::AddDaemonOptions(app, &daemon, true);
    app.add_option("--listen", listen, "Address of the HTTP listener, HOST:PORT (port 0: any free port)")
        ->capture_default_str();
    if (const int rc = ktzcli::Parse(app, argc, argv); rc >= 0)
    {
        return rc;
    }

    ktzcli::DaemonAddress address;
    std::string error;
    if (!ktzcli::ResolveDaemon(daemon, &address, &error))
    {
        std::cerr << "ktzmon-exporter: " << error << "\n";
        return ktzcli::kExitUsage;
    }
    Target target;
    target.socketPath = address.socketPath;
    target.host = address.host;
    target.port = address.port;
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
    ktzc_options_init(&o, sizeof o);
    // Chassis log events reach only clients that say they take them.
    o.caps = KTZC_CAP_BASE | KTZC_CAP_LOG_EVENTS;
    o.name = "ktzmon-exporter";
    o.connect_timeout_ms = 3000;
    o.reconnect = 1;
    o.retry_connect = 1;
    o.reconnect_initial_delay_ms = address.retryFirstMs;
    o.reconnect_max_delay_ms = address.retryMaxMs;
    ktzc_client* c = ktzc_new(&o);
    if (c == nullptr)
    {
        std::cerr << "ktzmon-exporter: out of memory\n";
        ::close(sigfd);
        return 1;
    }
    Follow(c, target, sigfd, o.reconnect_max_delay_ms, metrics);

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
