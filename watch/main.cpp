// ktzmon-watch: connects to ktzmond as a client and prints every message the
// module sends, as it arrives. Options make it usable from scripts: stop
// after a given message type or number of messages, or after a time limit,
// each with its own exit status.
#include "cli.h"
#include "ktzclient_decode.h"
#include "output.h"
#include "paths.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <ktzclient/ktzclient.h>
#include <string>
#include <unistd.h>

namespace
{

// Exit statuses, as every ktzmon program's (listed in --help): 0 --until or
// --count reached; 1 a failure at run time (goodbye, lost or no connection,
// --timeout first), told apart by the message on standard error; 2 a bad
// command line.
constexpr int kExitDone = ktzcli::kExitOk;
constexpr int kExitLost = ktzcli::kExitFailure;
constexpr int kExitUsage = ktzcli::kExitUsage;
constexpr int kExitNoConnect = ktzcli::kExitFailure;
constexpr int kExitTimeout = ktzcli::kExitFailure;

using Clock = std::chrono::steady_clock;

// A number in decimal, or hexadecimal with 0x.
bool ParseNumber(const std::string& s, uint32_t* v)
{
    try
    {
        size_t used = 0;
        const unsigned long n = std::stoul(s, &used, 0);
        if (used != s.size() || n > 0xffffffffUL || s[0] == '-')
        {
            return false;
        }
        *v = static_cast<uint32_t>(n);
        return true;
    }
    catch (const std::exception&)
    {
        return false;
    }
}

// A request type by name ("data-sync-complete") or number ("0x103").
bool ParseType(const std::string& s, uint32_t* type)
{
    *type = ktzclient::RequestTypeByName(s);
    return *type != 0 || ParseNumber(s, type);
}

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"ktzmon-watch: connect to ktzmond and print every message the KTZ Monitor sends to this "
                 "client, as it arrives.",
                 "ktzmon-watch"};
    ktzcli::AddVersion(app, "ktzmon-watch");
    app.footer(
        ktzcli::ExitStatusText("     (the daemon said goodbye: it refused the client, or dropped it; the\n"
                               "     connection was lost; no daemon at the address; --timeout ended the run\n"
                               "     first, also when neither --until nor --count is given; standard error\n"
                               "     says which)\n"));
    ktzcli::DaemonOptions daemon;
    bool json = false;
    bool hex = false;
    std::string capsText = "1";
    std::string untilText;
    unsigned count = 0;
    double timeout = 0;
    uint32_t clientId = 0;
    bool reconnect = false;
    ktzcli::AddDaemonOptions(app, &daemon, false);
    app.add_flag("--json", json, "one JSON object per line instead of the transcript");
    app.add_flag("--hex", hex, "the wire bytes of every payload");
    app.add_option("--caps", capsText,
                   "capability mask answered to the module (1 base, 3 base and chassis log events)")
        ->capture_default_str();
    app.add_option("--until", untilText,
                   "exit 0 after the first message of this type (ktz-setting, sensor-data, fru-by-number, "
                   "data-sync-complete, log-event, caps-query, or a number)");
    app.add_option("--count", count, "exit 0 after this many messages")->check(CLI::Range(1u, 1000000000u));
    app.add_option("--timeout", timeout, "exit 1 when this many seconds passed first")
        ->check(CLI::Range(0.001, 1e7));
    app.add_option("--client-id", clientId, "ask the daemon for this client ID (it must allow it)");
    app.add_flag("--reconnect", reconnect,
                 "when the connection is lost, reconnect with back-off (the picture is sent again)");
    if (const int rc = ktzcli::Parse(app, argc, argv); rc >= 0)
    {
        return rc;
    }

    uint32_t untilType = 0;
    if (!untilText.empty() && !ParseType(untilText, &untilType))
    {
        std::cerr << "ktzmon-watch: --until: unknown message type '" << untilText << "'\n";
        return kExitUsage;
    }
    uint32_t caps = 0;
    if (!ParseNumber(capsText, &caps))
    {
        std::cerr << "ktzmon-watch: --caps: not a number: '" << capsText << "'\n";
        return kExitUsage;
    }
    ktzcli::DaemonAddress address;
    if (std::string error; !ktzcli::ResolveDaemon(daemon, &address, &error))
    {
        std::cerr << "ktzmon-watch: " << error << "\n";
        return kExitUsage;
    }

    const auto start = Clock::now();
    const bool limited = timeout > 0;
    const auto deadline = start + std::chrono::microseconds(static_cast<long long>(timeout * 1e6));
    auto left = [&]() -> int
    {
        if (!limited)
        {
            return -1;
        }
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, 1 << 30));
    };

    ktzc_options o;
    ktzc_options_init(&o, sizeof o);
    o.caps = caps;
    o.client_id = clientId;
    o.name = "ktzmon-watch";
    o.reconnect = reconnect ? 1 : 0;
    if (limited)
    {
        o.connect_timeout_ms = std::max(1, std::min(o.connect_timeout_ms, left()));
    }
    ktzc_client* c = ktzc_new(&o);
    if (c == nullptr)
    {
        std::cerr << "ktzmon-watch: out of memory\n";
        return kExitLost;
    }
    const ktzc_error ce = address.host.empty() ? ktzc_connect_unix(c, address.socketPath.c_str())
                                               : ktzc_connect_tcp(c, address.host.c_str(), address.port);
    if (ce != KTZC_OK)
    {
        std::cerr << "ktzmon-watch: " << ktzc_error_text(c) << "\n";
        ktzc_free(c);
        return ce == KTZC_ERR_GOODBYE || ce == KTZC_ERR_PROTOCOL ? kExitLost : kExitNoConnect;
    }

    const ktzwatch::OutputOptions out{json, hex};
    ktzwatch::PrintNote(std::cout, out, Seconds(start), "connected", ktzc_client_id(c),
                        std::string("connected to ") +
                            (*ktzc_daemon_name(c) != '\0' ? ktzc_daemon_name(c) : "the daemon") +
                            " as client " + std::to_string(ktzc_client_id(c)));
    std::cout.flush();

    unsigned received = 0;
    int status = kExitTimeout;
    while (true)
    {
        const int ms = left();
        if (ms == 0)
        {
            std::cerr << "ktzmon-watch: --timeout: " << timeout << " s passed\n";
            status = kExitTimeout;
            break;
        }
        const ktzc_event* ev = nullptr;
        const ktzc_error e = ktzc_receive(c, ms, &ev);
        if (e == KTZC_ERR_TIMEOUT)
        {
            continue; // the deadline check above decides
        }
        if (e != KTZC_OK)
        {
            std::cerr << "ktzmon-watch: " << ktzc_error_text(c) << "\n";
            status = kExitLost;
            break;
        }
        const double t = Seconds(start);
        if (ev->kind == KTZC_EVENT_DISCONNECTED)
        {
            ktzwatch::PrintNote(std::cout, out, t, "disconnected", 0,
                                std::string("connection lost: ") + ev->text + "; reconnecting");
        }
        else if (ev->kind == KTZC_EVENT_RECONNECTED)
        {
            ktzwatch::PrintNote(std::cout, out, t, "reconnected", ev->client_id,
                                "reconnected as client " + std::to_string(ev->client_id));
        }
        else if (ev->kind == KTZC_EVENT_MESSAGE)
        {
            ktzwatch::PrintMessage(std::cout, out, t, ktzc_client_id(c), *ev->message);
            received += 1;
        }
        std::cout.flush();
        if (ev->kind == KTZC_EVENT_MESSAGE &&
            ((!untilText.empty() && ev->message->request_type == untilType) ||
             (count != 0 && received >= count)))
        {
            status = kExitDone;
            break;
        }
    }
    ktzc_free(c);
    return status;
}
