// ktzmonctl's text output: the status and the client list.
#include "print.h"

#include <cstdio>

namespace ktzmonctl
{
namespace
{

using nlohmann::json;

std::string Count(uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

std::string SensorsText(const json& sensors)
{
    if (!sensors.is_object())
    {
        return "?";
    }
    const uint64_t fans = sensors.value("fans", 0ull);
    const uint64_t temps = sensors.value("temperatures", 0ull);
    const uint64_t supplies = sensors.value("powerSupplies", 0ull);
    std::string text = Count(fans, "fan", "fans") + ", " + Count(temps, "temperature", "temperatures") +
                       ", " + Count(supplies, "power supply", "power supplies");
    if (sensors.value("impliedSupply", false))
    {
        text += " (none found: the machine's own power input stands in)";
    }
    text += sensors.value("powerRedundancy", false) ? ", power redundancy" : ", no power redundancy";
    if (fans + temps + supplies == 0)
    {
        text += "; no sensors found";
    }
    return text;
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
    if (s.contains("sensors"))
    {
        std::printf("sensors           %s\n", SensorsText(s["sensors"]).c_str());
    }
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
    if (s.contains("moduleLog"))
    {
        const std::string log = s.value("moduleLog", std::string());
        std::printf("module log        %s\n",
                    log.empty() ? "standard error (the journal under systemd)" : log.c_str());
    }
    if (s.contains("moduleIni"))
    {
        std::printf("module INI        %s\n", s.value("moduleIni", std::string()).c_str());
    }
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

} // namespace ktzmonctl
