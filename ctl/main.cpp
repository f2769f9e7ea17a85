// ktzmonctl: the operator's command line for a running ktzmond. Sends one
// JSON request over the daemon's control socket and prints the reply:
// changes to the simulated chassis, chassis log events and the KTZ setting
// (also when the daemon serves the Linux machine), the client list,
// disconnecting a client, the daemon's status.
//
// Exit status: 0 success; 1 the daemon refused the request, or could not be
// reached or did not answer in time; 2 a bad command line.
#include "cli.h"
#include "paths.h"
#include "print.h"

#include <nlohmann/json.hpp>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Sends one request line and reads one reply line, all within `timeoutMs`.
bool Exchange(const std::string& path, const json& request, int timeoutMs, json* reply, std::string* error)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path)
    {
        *error = "control socket path too long";
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    {
        *error = "cannot reach ktzmond at " + path + ": " + std::strerror(errno);
        if (fd >= 0)
        {
            ::close(fd);
        }
        return false;
    }
    // Texts from the command line that are not UTF-8 are sent with their
    // odd bytes replaced rather than ending the program.
    const std::string line = request.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::string in;
    bool ok = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    while (ok && in.find('\n') == std::string::npos)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        ok = left > 0 && ::poll(&p, 1, static_cast<int>(left)) == 1;
        char buf[4096];
        const ssize_t n = ok ? ::read(fd, buf, sizeof buf) : -1;
        ok = n > 0;
        if (ok)
        {
            in.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    if (!ok)
    {
        *error = "no reply from ktzmond at " + path + " within the timeout";
        return false;
    }
    *reply = json::parse(in.substr(0, in.find('\n')), nullptr, false);
    if (reply->is_discarded())
    {
        *error = "ktzmond sent a reply that is not JSON";
        return false;
    }
    return true;
}

// The field whose text is not UTF-8, if any: JSON carries UTF-8 only, and
// the daemon shows these texts to others, so such an argument is refused
// here rather than sent with its bytes replaced.
std::string NonUtf8Field(const json& req)
{
    for (const auto& [key, value] : req.items())
    {
        try
        {
            (void)value.dump();
        }
        catch (const json::type_error&)
        {
            return key;
        }
    }
    return {};
}

template <typename T> void Put(json& j, const char* key, const std::optional<T>& v)
{
    if (v)
    {
        j[key] = *v;
    }
}

// The KTZ setting's words: "on" and "off", or the setting's number (1 and 2
// enable monitoring, 0 disables it). Nothing else, so that a typo never
// switches monitoring off.
bool KtzValue(const std::string& text, std::string* value)
{
    if (text == "on" || text == "1" || text == "2")
    {
        *value = text == "on" ? "1" : text;
        return true;
    }
    if (text == "off" || text == "0")
    {
        *value = "0";
        return true;
    }
    return false;
}

// What the command line held instead of a command: the first word left
// over, "" when there is none.
std::string LeftOver(const CLI::App& app)
{
    const std::vector<std::string> rest = app.remaining();
    return rest.empty() ? "" : rest.front();
}

const char* const kFooter = R"(
The daemon's control socket is ktzmond.ctl beside its client socket: give
either --socket (the client socket, as for ktzmon-watch) or --control-socket.
Options before or after the command are the same.

)";

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"ktzmonctl: controls a running ktzmond over its control socket.", "ktzmonctl"};
    app.require_subcommand(1);
    // Options of the program may also follow the command.
    app.fallthrough();
    app.footer(
        std::string(kFooter) +
        ktzcli::ExitStatusText("     (the daemon refused the request, or it cannot be reached or did not\n"
                               "     answer within --timeout)\n"));
    ktzcli::AddVersion(app, "ktzmonctl");
    std::string control, socket;
    bool rawJson = false;
    double timeout = 10;
    auto* controlOpt = app.add_option("--control-socket", control,
                                      "The daemon's control socket (default: " +
                                          ktzhost::DefaultControlPath(ktzhost::DefaultSocketPath()) + ")");
    app.add_option("--socket", socket,
                   "The daemon's client socket; its control socket is ktzmond.ctl beside it")
        ->excludes(controlOpt);
    app.add_flag("--json", rawJson, "Print the daemon's reply as JSON");
    app.add_option("--timeout", timeout, "Seconds to wait for the daemon's reply (decimals allowed)")
        ->check(CLI::Range(0.001, 3600.0))
        ->capture_default_str();

    json req;
    uint32_t id = 0, fan = 0, bay = 0, index = 0;
    std::optional<uint32_t> reading, reading2, presence, health, lnc, lc, state, alert, config, flags, repeat;
    std::optional<int> temp;
    std::optional<bool> fruReadable;
    std::string messageId, value;
    std::optional<std::string> text;
    std::vector<uint16_t> values;
    std::vector<std::string> args;

    auto* status = app.add_subcommand(
        "status", "The daemon's state: module, chassis and its sensors, clients, messages, drops, memory");
    auto* clients = app.add_subcommand("clients", "Connected clients: ID, capabilities, queue depth");
    auto* disconnect = app.add_subcommand("disconnect", "Disconnect a client (it gets goodbye reason 9)");
    disconnect->add_option("id", id, "Client ID")->required();

    auto* setFan = app.add_subcommand("set-fan", "Change a fan's readings, presence, health or thresholds");
    setFan
        ->add_option("fan", fan,
                     "Fan number (from 1), as the chassis counts fans. Messages count fan sensors instead: "
                     "a sensor-data message's number runs over every sensor of every fan in order, and its "
                     "name tells the fan (in the demonstration chassis fan N has sensors 2N-1 'FanNA', set "
                     "by --reading, and 2N 'FanNB', set by --reading2)")
        ->required();
    setFan->add_option("--reading", reading, "First sensor's reading (RPM)");
    setFan->add_option("--reading2", reading2, "Second sensor's reading (RPM)");
    setFan->add_option("--presence", presence, "Presence (1 present, 0 absent)");
    setFan->add_option("--health", health, "Health (1 good)");
    setFan->add_option("--lnc", lnc, "Lower non-critical threshold");
    setFan->add_option("--lc", lc, "Lower critical threshold");

    auto* setTemp = app.add_subcommand("set-temp", "Change the chassis temperature's reading or health");
    setTemp->add_option("--reading", temp, "Reading (degrees C, -128 to 127)")->check(CLI::Range(-128, 127));
    setTemp->add_option("--health", health, "Health");

    auto* setStash = app.add_subcommand("set-stash-temp", "Change a blade (stash) temperature's reading");
    setStash->add_option("index", index, "Stash record (from 1)")->required();
    setStash->add_option("--reading", temp, "Reading (degrees C)")->required()->check(CLI::Range(-128, 127));

    auto* pull = app.add_subcommand("pull-psu", "Pull the power supply out of a bay");
    auto* insert = app.add_subcommand("insert-psu", "Insert a power supply into a bay");
    auto* setPsu = app.add_subcommand("set-psu", "Change a bay's presence, state, alert or FRU readability");
    for (auto* sub : {pull, insert, setPsu})
    {
        sub->add_option("bay", bay, "Bay number (from 1)")->required();
        sub->add_option("--state", state, "Power supply state");
        sub->add_option("--alert", alert, "Power supply alert");
    }
    for (auto* sub : {insert, setPsu})
    {
        sub->add_option("--fru-readable", fruReadable, "Whether its FRU can be read (true/false)");
    }
    setPsu->add_option("--presence", presence, "Presence (1 present, 0 absent)");

    auto* redundancy =
        app.add_subcommand("set-redundancy", "Change the power redundancy configuration or state");
    redundancy->add_option("--config", config, "Configuration");
    redundancy->add_option("--state", state, "State (1 redundant, 2 lost, ...)");

    auto* logEvent = app.add_subcommand("log-event", "Post a chassis log event");
    logEvent->add_option("message-id", messageId, "Message ID, e.g. FAN0004")->required();
    logEvent->add_option("--value", values, "Up to three 16-bit values (repeat the option)")->expected(0, 3);
    logEvent->add_option("--arg", args, "An argument of the message (repeat the option)");
    logEvent->add_option("--text", text, "The event text");
    logEvent->add_option("--flags", flags, "Event flags")->capture_default_str();
    logEvent->add_option("--repeat", repeat, "Post it this many times")->check(CLI::Range(1u, 100000u));

    auto* setKtz = app.add_subcommand("set-ktz", "Switch monitoring on or off: the KTZ setting");
    setKtz->add_option("value", value, "on or off, or the setting's number: 1 or 2 (on), 0 (off)")
        ->required();

    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::RequiredError& e)
    {
        // "ktzmonctl bogus": name the command (or option) rather than ask
        // for one.
        const std::string unknown = app.get_subcommands().empty() ? LeftOver(app) : "";
        if (!unknown.empty())
        {
            std::fprintf(stderr, "ktzmonctl: unknown %s '%s' (see ktzmonctl --help)\n",
                         unknown[0] == '-' ? "option" : "command", unknown.c_str());
            return ktzcli::kExitUsage;
        }
        std::fprintf(stderr, "ktzmonctl: %s (see ktzmonctl --help)\n", e.what());
        return ktzcli::kExitUsage;
    }
    catch (const CLI::ParseError&)
    {
        // Help, version and the other errors as every ktzmon program does
        // them (parsing again only prints).
        return ktzcli::Parse(app, argc, argv);
    }
    if (!socket.empty())
    {
        control = ktzhost::DefaultControlPath(socket);
    }
    if (control.empty())
    {
        control = ktzhost::DefaultControlPath(ktzhost::DefaultSocketPath());
    }

    CLI::App* sub = app.get_subcommands().front();
    const std::string cmd = sub->get_name();
    req["cmd"] = cmd;
    if (sub == disconnect)
    {
        req["id"] = id;
    }
    else if (sub == setFan)
    {
        req["fan"] = fan;
        Put(req, "reading", reading);
        Put(req, "reading2", reading2);
        Put(req, "presence", presence);
        Put(req, "health", health);
        Put(req, "lnc", lnc);
        Put(req, "lc", lc);
    }
    else if (sub == setTemp || sub == setStash)
    {
        if (sub == setStash)
        {
            req["index"] = index;
        }
        Put(req, "reading", temp);
        Put(req, "health", health);
    }
    else if (sub == pull || sub == insert || sub == setPsu)
    {
        req["bay"] = bay;
        Put(req, "state", state);
        Put(req, "alert", alert);
        Put(req, "presence", presence);
        Put(req, "fru-readable", fruReadable);
    }
    else if (sub == redundancy)
    {
        Put(req, "config", config);
        Put(req, "state", state);
    }
    else if (sub == logEvent)
    {
        req["message-id"] = messageId;
        req["values"] = values;
        if (!args.empty())
        {
            req["args"] = args;
        }
        Put(req, "text", text);
        Put(req, "flags", flags);
        Put(req, "repeat", repeat);
    }
    else if (sub == setKtz)
    {
        std::string setting;
        if (!KtzValue(value, &setting))
        {
            std::fprintf(stderr,
                         "ktzmonctl: set-ktz: '%s' is not a KTZ setting: on, off, 1 or 2 (on) or 0 (off)\n",
                         value.c_str());
            return ktzcli::kExitUsage;
        }
        req["value"] = setting;
    }

    if (const std::string bad = NonUtf8Field(req); !bad.empty())
    {
        std::fprintf(stderr, "ktzmonctl: %s: the text is not valid UTF-8\n", bad.c_str());
        return ktzcli::kExitUsage;
    }
    json reply;
    std::string error;
    if (!Exchange(control, req, static_cast<int>(timeout * 1000 + 0.5), &reply, &error))
    {
        std::fprintf(stderr, "ktzmonctl: %s\n", error.c_str());
        return ktzcli::kExitFailure;
    }
    if (!reply.value("ok", false))
    {
        const json err = reply.value("error", json("request failed"));
        std::fprintf(stderr, "ktzmonctl: %s: %s\n", cmd.c_str(),
                     err.is_string() ? err.get<std::string>().c_str() : err.dump().c_str());
        return ktzcli::kExitFailure;
    }
    if (rawJson)
    {
        std::cout << reply.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
    }
    else if (sub == status)
    {
        ktzmonctl::PrintStatus(reply);
    }
    else if (sub == clients)
    {
        ktzmonctl::PrintClients(reply);
    }
    else if (reply.contains("applied") && reply["applied"].is_string())
    {
        std::cout << reply["applied"].get<std::string>() << "\n";
    }
    return ktzcli::kExitOk;
}
