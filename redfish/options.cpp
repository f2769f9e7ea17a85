// Command line and configuration file.
#include "options.h"

#include "accounts.h"
#include "cli.h"
#include "paths.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>
#include <unistd.h>

namespace ktzredfish
{

namespace
{

constexpr int kExitUsage = 2;

bool ValidChassisId(const std::string& id)
{
    if (id.empty() || id.size() > 32)
    {
        return false;
    }
    for (const char c : id)
    {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
              c == '-'))
        {
            return false;
        }
    }
    return true;
}

int Usage(const std::string& what)
{
    std::cerr << "ktzmon-redfish: " << what << "\n";
    return kExitUsage;
}

} // namespace

std::string DefaultStateDir()
{
    if (const char* d = std::getenv("STATE_DIRECTORY"); d != nullptr && *d != '\0')
    {
        const std::string dirs = d;
        return dirs.substr(0, dirs.find(':')); // the first, when systemd names several
    }
    if (::geteuid() == 0)
    {
        return "/var/lib/ktzmon-redfish";
    }
    if (const char* x = std::getenv("XDG_STATE_HOME"); x != nullptr && *x == '/')
    {
        return std::string(x) + "/ktzmon-redfish";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr && *home == '/' ? home : "/tmp") + "/.local/state/ktzmon-redfish";
}

int ParseOptions(int argc, char** argv, Options* o)
{
    CLI::App app{
        "ktzmon-redfish: serve the KTZ Monitor's chassis from ktzmond as a read-only Redfish service "
        "over HTTPS, with a server-sent event stream.",
        "ktzmon-redfish"};
    ktzcli::AddVersion(app, "ktzmon-redfish");
    app.set_config("--config", "", "Read options from FILE (one 'name = value' line per long option)");
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.footer(
        "Every option can also be given in the --config file, one \"name = value\" line each, without\n"
        "the dashes (listen = \"127.0.0.1:8443\"); the command line wins.\n\n" +
        ktzcli::ExitStatusText("     (it cannot listen, read its accounts or make its certificate)\n"));

    ktzcli::DaemonOptions daemon;
    std::string listen = "127.0.0.1:8443";
    int64_t sessionTimeout = 1800, lockoutDuration = 300, lockoutResetAfter = 300;
    double requestTimeout = 10, idleTimeout = 60, handshakeTimeout = 10;
    ServiceConfig& svc = o->service;
    ServerLimits& lim = o->limits;

    ktzcli::AddDaemonOptions(app, &daemon, true);
    app.add_option("--listen", listen,
                   "Address of the HTTPS listener, HOST:PORT (port 0: any free port); loopback only unless "
                   "--allow-remote")
        ->capture_default_str();
    app.add_flag("--allow-remote", o->allowRemote, "Allow a --listen address that is not a loopback address");
    app.add_flag("--insecure-http", o->insecureHttp, "Serve plain HTTP instead of HTTPS (loopback only)");
    app.add_option("--accounts", o->accounts,
                   "The accounts file, NAME:HASH:ROLE lines, private to the service");
    app.add_option("--tls-cert", o->tlsCert, "Certificate chain (PEM) of the HTTPS listener");
    app.add_option("--tls-key", o->tlsKey, "Private key (PEM) of the certificate");
    app.add_option(
        "--state-dir", o->stateDir,
        "Folder for the self-signed certificate and the service's UUID (default: $STATE_DIRECTORY, "
        "/var/lib/ktzmon-redfish for root, else ~/.local/state/ktzmon-redfish)");
    app.add_option(
        "--add-account", o->addAccount,
        "Add NAME to the --accounts file (or set its password) after asking for the password twice, "
        "then exit");
    app.add_option("--role", o->role, "The role of the account --add-account adds: ReadOnly or Administrator")
        ->check(CLI::IsMember({"ReadOnly", "Administrator"}))
        ->capture_default_str();
    app.add_option("--chassis-id", svc.chassisId, "The chassis's Id in its URI (letters, digits, '_', '-')")
        ->capture_default_str();
    app.add_option("--chassis-description", svc.chassisDescription, "The chassis's Description")
        ->capture_default_str();
    app.add_option("--platform-id", svc.platformId, "The chassis's platform ID, reported as its Model");
    app.add_option("--uuid", svc.uuid,
                   "The service's UUID (default: made once and kept in the state folder)");
    app.add_option("--web-root", o->webRoot,
                   "Folder of the web application served at / (\"\": none; a missing folder serves none)")
        ->capture_default_str();
    app.add_option("--max-connections", lim.maxConnections, "Connections at once")
        ->check(CLI::Range(2, 10000))
        ->capture_default_str();
    app.add_option("--max-sessions", svc.maxSessions, "Sessions at once")
        ->check(CLI::Range(1, 10000))
        ->capture_default_str();
    app.add_option("--max-streams", svc.maxStreams, "Event streams at once")
        ->check(CLI::Range(0, 10000))
        ->capture_default_str();
    app.add_option("--replay-events", svc.replayCapacity, "Events kept for streams that reconnect")
        ->check(CLI::Range(0, 100000))
        ->capture_default_str();
    app.add_option("--session-timeout", sessionTimeout, "Seconds a session may stay unused")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    app.add_option("--lockout-threshold", svc.lockoutThreshold,
                   "Failed logins that lock an account (0: never)")
        ->check(CLI::Range(0, 1000))
        ->capture_default_str();
    app.add_option("--lockout-duration", lockoutDuration, "Seconds an account stays locked")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    app.add_option("--lockout-reset-after", lockoutResetAfter,
                   "Seconds after the first failed login that the failures are forgotten")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    app.add_option("--handshake-timeout", handshakeTimeout, "Seconds a TLS handshake may take")
        ->check(CLI::Range(0.1, 600.0))
        ->capture_default_str();
    app.add_option("--request-timeout", requestTimeout, "Seconds from a request's first byte to its end")
        ->check(CLI::Range(0.1, 600.0))
        ->capture_default_str();
    app.add_option("--idle-timeout", idleTimeout, "Seconds an idle connection is kept")
        ->check(CLI::Range(0.1, 3600.0))
        ->capture_default_str();
    if (const int rc = ktzcli::Parse(app, argc, argv); rc >= 0)
    {
        return rc;
    }

    ktzcli::DaemonAddress address;
    if (std::string error; !ktzcli::ResolveDaemon(daemon, &address, &error))
    {
        return Usage(error);
    }
    o->target.socketPath = address.socketPath;
    o->target.host = address.host;
    o->target.port = address.port;
    if (!ktzhost::SplitHostPort(listen, true, &o->listenHost, &o->listenPort))
    {
        return Usage("--listen: expected HOST:PORT, got '" + listen + "'");
    }
    if (!ValidChassisId(svc.chassisId))
    {
        return Usage("--chassis-id: 1 to 32 letters, digits, '_' or '-', got '" + svc.chassisId + "'");
    }
    if (o->tlsCert.empty() != o->tlsKey.empty())
    {
        return Usage("--tls-cert and --tls-key go together");
    }
    if (o->insecureHttp && !o->tlsCert.empty())
    {
        return Usage("--insecure-http serves no TLS: leave out --tls-cert and --tls-key");
    }
    if (!o->addAccount.empty() && !ValidAccountName(o->addAccount))
    {
        return Usage("--add-account: the name must be 1 to 32 letters, digits, '.', '_' or '-'");
    }
    if (o->accounts.empty())
    {
        return Usage(
            "--accounts FILE is needed: there is no default account (make one with --add-account NAME "
            "--accounts FILE)");
    }
    if (o->stateDir.empty())
    {
        o->stateDir = DefaultStateDir();
    }
    o->retryFirstMs = address.retryFirstMs;
    o->retryMaxMs = address.retryMaxMs;
    svc.sessionIdleMs = sessionTimeout * 1000;
    svc.lockoutDurationMs = lockoutDuration * 1000;
    svc.lockoutResetAfterMs = lockoutResetAfter * 1000;
    lim.handshakeTimeout = std::chrono::milliseconds(static_cast<int64_t>(handshakeTimeout * 1000));
    lim.requestTimeout = std::chrono::milliseconds(static_cast<int64_t>(requestTimeout * 1000));
    lim.idleTimeout = std::chrono::milliseconds(static_cast<int64_t>(idleTimeout * 1000));
    return -1;
}

} // namespace ktzredfish
