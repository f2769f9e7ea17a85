// The command-line conventions every ktzmon program shares: --version with
// the project version, the exit statuses, CLI11's own error codes mapped
// onto them, and how a client of the daemon is told where it is, so that
// scripts can treat every tool alike.
#ifndef KTZHOSTCORE_CLI_H
#define KTZHOSTCORE_CLI_H

#include "paths.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <iostream>
#include <string>

namespace ktzcli
{

inline constexpr int kExitOk = 0;      // success
inline constexpr int kExitFailure = 1; // a failure at run time
inline constexpr int kExitUsage = 2;   // a bad command line or input file

inline const char* Version()
{
    return KTZMON_VERSION;
}

// The exit statuses as --help's footer and the man page show them; `detail`
// (lines starting with two blanks) tells what counts as a failure for the
// program.
inline std::string ExitStatusText(const std::string& detail)
{
    return "Exit status:\n  0  success\n  1  a failure at run time\n" + detail +
           "  2  a bad command line or input file\n";
}

// --version prints "PROGRAM VERSION" and exits 0.
inline void AddVersion(CLI::App& app, const std::string& program)
{
    app.set_version_flag("--version", program + " " + KTZMON_VERSION, "Print the version and exit");
}

// Parses the command line. Returns -1 to go on; otherwise the program ends
// with the returned status: 0 after --help or --version (printed on standard
// output), 2 after a bad command line (the reason on standard error).
inline int Parse(CLI::App& app, int argc, char** argv)
{
    try
    {
        app.parse(argc, argv);
        return -1;
    }
    catch (const CLI::CallForHelp&)
    {
        std::cout << app.help();
        return kExitOk;
    }
    catch (const CLI::CallForAllHelp&)
    {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return kExitOk;
    }
    catch (const CLI::CallForVersion& e)
    {
        std::cout << e.what() << "\n";
        return kExitOk;
    }
    catch (const CLI::ParseError& e)
    {
        std::cerr << app.get_name() << ": " << e.what() << " (see " << app.get_name() << " --help)\n";
        return kExitUsage;
    }
}

// Where a client program finds the daemon: --socket PATH or --connect
// HOST:PORT (not both), and for a program that keeps reconnecting, the
// back-off between attempts (--retry-first, doubling up to --retry-max).
struct DaemonOptions
{
    std::string socketPath;
    std::string connectTo;
    double retryFirst = 0.5; // seconds
    double retryMax = 30;    // seconds
};

inline void AddDaemonOptions(CLI::App& app, DaemonOptions* o, bool retries)
{
    auto* sock = app.add_option("--socket", o->socketPath,
                                "Unix socket of the daemon (default: /run/ktzmon/ktzmond.sock for root, else "
                                "$XDG_RUNTIME_DIR/ktzmon/ktzmond.sock, else /tmp/ktzmon-UID/ktzmond.sock)");
    auto* conn = app.add_option("--connect", o->connectTo, "TCP address of the daemon, HOST:PORT");
    sock->excludes(conn);
    if (retries)
    {
        app.add_option("--retry-first", o->retryFirst,
                       "Seconds before the first attempt to reach the daemon again")
            ->check(CLI::Range(0.01, 3600.0))
            ->capture_default_str();
        app.add_option("--retry-max", o->retryMax,
                       "Longest wait between attempts, in seconds (the wait doubles)")
            ->check(CLI::Range(0.01, 3600.0))
            ->capture_default_str();
    }
}

// The daemon's address once the command line is parsed: the TCP host and
// port for --connect, else the socket path (the default one when neither
// option was given). False with the usage error's text for a --connect that
// is not HOST:PORT.
struct DaemonAddress
{
    std::string socketPath; // empty for TCP
    std::string host;
    uint16_t port = 0;
    int retryFirstMs = 500;
    int retryMaxMs = 30000; // never below retryFirstMs
};

inline bool ResolveDaemon(const DaemonOptions& o, DaemonAddress* a, std::string* error)
{
    *a = DaemonAddress{};
    if (!o.connectTo.empty())
    {
        if (!ktzhost::SplitHostPort(o.connectTo, false, &a->host, &a->port))
        {
            *error = "--connect: expected HOST:PORT, got '" + o.connectTo + "'";
            return false;
        }
    }
    else
    {
        a->socketPath = o.socketPath.empty() ? ktzhost::DefaultSocketPath() : o.socketPath;
    }
    a->retryFirstMs = static_cast<int>(o.retryFirst * 1000);
    a->retryMaxMs = std::max(a->retryFirstMs, static_cast<int>(o.retryMax * 1000));
    return true;
}

} // namespace ktzcli

#endif
