// ktzmonctl: the operator's command line for a running ktzmond. Sends one
// JSON request over the daemon's control socket and prints the reply:
// changes to the simulated chassis, chassis log events and the KTZ setting
// (also when the daemon serves the Linux machine), the client list,
// disconnecting a client, the daemon's status.
#include <nlohmann/json.hpp>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <paths.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

using nlohmann::json;

constexpr int kExitDaemonError = 1;
constexpr int kExitUnreachable = 3;

// Sends one request line and reads one reply line, within `timeoutMs`.
bool Exchange(const std::string& path, const std::string& request, int timeoutMs, json* reply,
              std::string* error)
{
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
    const std::string line = request + "\n";
    std::string in;
    bool ok = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    while (ok && in.find('\n') == std::string::npos)
    {
        pollfd p{fd, POLLIN, 0};
        ok = ::poll(&p, 1, timeoutMs) == 1;
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
        *error = "no reply from ktzmond at " + path;
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

void PrintStatus(const json& s)
{
    std::printf("module            %s\n", s.value("module", "?").c_str());
    std::string chassis = s.value("chassis", std::string("simulated"));
    if (!s.value("chassisConfig", std::string()).empty())
    {
        chassis += " (" + s["chassisConfig"].get<std::string>() + ")";
    }
    std::printf("chassis           %s\n", chassis.c_str());
    std::printf("uptime            %.1f s\n", s.value("uptime", 0.0));
    std::printf("chassis time      %.1f s (speed %gx)\n", s.value("chassisTime", 0.0), s.value("speed", 1.0));
    std::printf("clients           %d (connections %d)\n", s.value("clients", 0), s.value("connections", 0));
    std::printf("accepted          %llu, welcomed %llu, refused %llu\n", s.value("accepted", 0ull),
                s.value("welcomed", 0ull), s.value("refused", 0ull));
    std::printf("module connects   %llu, disconnects %llu\n", s.value("moduleConnects", 0ull),
                s.value("moduleDisconnects", 0ull));
    std::printf("messages          %llu sent, %llu failed\n", s.value("messagesSent", 0ull),
                s.value("messagesFailed", 0ull));
    const json d = s.value("dropped", json::object());
    std::printf("dropped           %llu too slow, %llu no response, %llu protocol error\n",
                d.value("tooSlow", 0ull), d.value("noResponse", 0ull), d.value("protocolError", 0ull));
    const json m = s.value("memory", json::object());
    std::printf("platform memory   %llu blocks, %llu bytes\n", m.value("liveAllocs", 0ull),
                m.value("liveBytes", 0ull));
    std::printf("open descriptors  %d\n", s.value("fds", 0));
}

void PrintClients(const json& r)
{
    std::printf("%8s  %-6s  %7s  %9s  %-20s  %s\n", "ID", "CAPS", "QUEUED", "MESSAGES", "PEER", "NAME");
    for (const json& c : r.value("clients", json::array()))
    {
        char caps[16] = "-";
        if (c.contains("caps") && c["caps"].is_number())
        {
            std::snprintf(caps, sizeof caps, "0x%X", c["caps"].get<uint32_t>());
        }
        std::printf("%8u  %-6s  %7llu  %9llu  %-20s  %s\n", c.value("id", 0u), caps,
                    c.value("queueFrames", 0ull), c.value("messages", 0ull), c.value("peer", "").c_str(),
                    c.value("name", "").c_str());
    }
}

// The request line, or the field whose text is not UTF-8 (JSON carries
// UTF-8 only, and the daemon shows these texts to others).
bool RequestLine(const json& req, std::string* line, std::string* badField)
{
    try
    {
        *line = req.dump();
        return true;
    }
    catch (const json::type_error&)
    {
        for (const auto& [key, value] : req.items())
        {
            try
            {
                (void)value.dump();
            }
            catch (const json::type_error&)
            {
                *badField = key;
            }
        }
        return false;
    }
}

template <typename T> void Put(json& j, const char* key, const std::optional<T>& v)
{
    if (v)
    {
        j[key] = *v;
    }
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"ktzmonctl: controls a running ktzmond over its control socket."};
    app.require_subcommand(1);
    std::string control;
    bool rawJson = false;
    int timeoutMs = 10000;
    app.add_option("--control-socket", control,
                   "The daemon's control socket (default: " +
                       ktzhost::DefaultControlPath(ktzhost::DefaultSocketPath()) + ")");
    app.add_flag("--json", rawJson, "Print the daemon's reply as JSON");
    app.add_option("--timeout", timeoutMs, "Milliseconds to wait for the reply")->capture_default_str();

    json req;
    uint32_t id = 0, fan = 0, bay = 0, index = 0;
    std::optional<uint32_t> reading, reading2, presence, health, lnc, lc, state, alert, config, flags, repeat;
    std::optional<int> temp;
    std::optional<bool> fruReadable;
    std::string messageId, value;
    std::optional<std::string> text;
    std::vector<uint16_t> values;
    std::vector<std::string> args;

    auto* status =
        app.add_subcommand("status", "The daemon's state: module, clients, messages, drops, memory");
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

    auto* setKtz = app.add_subcommand("set-ktz", "Change the KTZ setting (0 turns monitoring off)");
    setKtz->add_option("value", value, "The new setting")->required();

    CLI11_PARSE(app, argc, argv);
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
        req["value"] = value;
    }

    std::string line, badField;
    if (!RequestLine(req, &line, &badField))
    {
        std::fprintf(stderr, "ktzmonctl: %s: the text is not valid UTF-8\n", badField.c_str());
        return 2;
    }
    json reply;
    std::string error;
    if (!Exchange(control, line, timeoutMs, &reply, &error))
    {
        std::fprintf(stderr, "ktzmonctl: %s\n", error.c_str());
        return kExitUnreachable;
    }
    if (!reply.value("ok", false))
    {
        std::fprintf(stderr, "ktzmonctl: %s\n", reply.value("error", std::string("request failed")).c_str());
        return kExitDaemonError;
    }
    if (rawJson)
    {
        std::cout << reply.dump() << "\n";
    }
    else if (sub == status)
    {
        PrintStatus(reply);
    }
    else if (sub == clients)
    {
        PrintClients(reply);
    }
    else if (reply.contains("applied"))
    {
        std::cout << reply["applied"].get<std::string>() << "\n";
    }
    return 0;
}
