// Transcript and JSON lines of a run.
#include "output.h"

#include "fields.h"
#include "ktzclient_decode.h"

#include <ktzmon/protocol.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

namespace ktzhost
{
namespace
{

std::string Who(const Event& ev)
{
    switch (ev.kind)
    {
    case Event::Kind::Host: return "host";
    case Event::Kind::Step: return "chassis";
    case Event::Kind::Message: return "client " + std::to_string(ev.client);
    case Event::Kind::Log: return "module log";
    default: return "ktzmon-host";
    }
}

std::string Chomp(const std::string& s)
{
    std::string out = s;
    while (!out.empty() && out.back() == '\n')
    {
        out.pop_back();
    }
    for (char& c : out)
    {
        if (c == '\n')
        {
            c = ' ';
        }
    }
    return out;
}

std::string MessageText(const Event& ev)
{
    const auto d = ktzclient::Decode(ev.requestClass, ev.requestType, ev.bytes);
    std::string t = d.ok ? ktzclient::Describe(d.value)
                         : std::string(ktzclient::RequestTypeName(ev.requestType)) + " MALFORMED: " + d.error;
    if (ev.status != 0)
    {
        t += "  [client answers status " + std::to_string(ev.status) + "]";
    }
    if (ev.rspLen != 0 && ev.requestType != KTZMON_REQ_GET_KTZ_CAPS)
    {
        t += "  [client answers " + std::to_string(ev.rspLen) + " bytes of data]";
    }
    if (ev.requestType == KTZMON_REQ_GET_KTZ_CAPS)
    {
        const auto caps = ktzclient::DecodeCapsReply(ev.response.data(), ev.response.size());
        t += "  [client answers " + std::to_string(ev.rspLen) + " bytes" +
             (caps.ok ? ": caps " + ktzclient::CapsText(caps.value.caps) : "") + "]";
    }
    return t;
}

std::string EventText(const Event& ev)
{
    switch (ev.kind)
    {
    case Event::Kind::Host:
        if (ev.text == "Load" || ev.text == "Unload" || ev.text == "Start-monitor" ||
            ev.text == "Stop-monitor")
        {
            return ev.text + " -> status " + std::to_string(ev.status) + (ev.ok ? "" : "  FAILED");
        }
        return ev.text + (ev.ok ? "" : "  FAILED (status " + std::to_string(ev.status) + ")");
    case Event::Kind::Message: return MessageText(ev);
    case Event::Kind::Log: return Chomp(ev.text);
    default: return ev.text;
    }
}

constexpr size_t kHexPerLine = 16;

void HexLines(std::ostream& out, const std::vector<uint8_t>& bytes, const std::string& indent,
              const char* label = "")
{
    for (size_t off = 0; off < bytes.size(); off += kHexPerLine)
    {
        char head[32];
        std::snprintf(head, sizeof head, "%04zx: ", off);
        const size_t n = std::min(kHexPerLine, bytes.size() - off);
        out << indent << label << head << ktzclient::Hex(bytes.data() + off, n) << "\n";
    }
}

// Messages received per client and type.
std::map<uint32_t, std::map<uint32_t, unsigned>> Counts(const RunResult& r)
{
    std::map<uint32_t, std::map<uint32_t, unsigned>> c;
    for (const auto& ev : r.events)
    {
        if (ev.kind == Event::Kind::Message)
        {
            c[ev.client][ev.requestType] += 1;
        }
    }
    return c;
}

} // namespace

void WriteTranscript(std::ostream& out, const Scenario& s, const RunResult& r, const OutputOptions& o)
{
    if (!s.title.empty())
    {
        out << s.title << "\n";
    }
    if (!s.description.empty())
    {
        out << s.description << (s.description.back() == '\n' ? "" : "\n");
    }
    out << "\n";
    const std::string indent(8 + 2 + 12 + 2, ' ');
    char head[128];
    std::snprintf(head, sizeof head, "%8s  %-12s  %s\n", "t (s)", "who", "what");
    out << head;
    for (const auto& ev : r.events)
    {
        if (ev.kind == Event::Kind::Log && !o.showLog)
        {
            continue;
        }
        char line[64];
        std::snprintf(line, sizeof line, "%8.1f  %-12s  ", ev.t, Who(ev).c_str());
        out << line << EventText(ev) << "\n";
        if (o.hex && (ev.kind == Event::Kind::Message || (ev.kind == Event::Kind::Host && !ev.bytes.empty())))
        {
            HexLines(out, ev.bytes, indent);
            if (ev.kind == Event::Kind::Message && !ev.response.empty())
            {
                HexLines(out, ev.response, indent, "answer ");
            }
        }
    }
    out << "\nMessages received\n";
    for (const auto& [client, types] : Counts(r))
    {
        out << "  client " << client << ":";
        for (const auto& [type, n] : types)
        {
            out << " " << ktzclient::RequestTypeName(type) << " " << n;
        }
        out << "\n";
    }
    if (!r.outcomes.empty())
    {
        out << "\nExpectations\n";
        for (const auto& oc : r.outcomes)
        {
            out << "  " << (oc.ok ? "ok      " : "FAILED  ") << "line " << oc.expectation.line << ": "
                << oc.expectation.Describe() << " (" << oc.detail << ")\n";
        }
    }
    out << "\n";
    if (r.ok)
    {
        out << "Result: ok, the run went as the scenario expects\n";
    }
    else
    {
        out << "Result: FAILED\n";
        for (const auto& f : r.failures)
        {
            out << "  " << f << "\n";
        }
    }
}

void WriteJson(std::ostream& out, const Scenario& s, const RunResult& r, const OutputOptions& o)
{
    using nlohmann::json;
    out << json{{"kind", "scenario"}, {"title", s.title}, {"end", r.end}}.dump() << "\n";
    for (const auto& ev : r.events)
    {
        if (ev.kind == Event::Kind::Log && !o.showLog)
        {
            continue;
        }
        json j = {{"t", ev.t}};
        switch (ev.kind)
        {
        case Event::Kind::Host:
            j["kind"] = "host";
            j["text"] = ev.text;
            j["status"] = ev.status;
            j["ok"] = ev.ok;
            if (ev.client != 0)
            {
                j["client"] = ev.client;
            }
            if (!ev.bytes.empty())
            {
                const auto caps = ktzclient::DecodeCapsReply(ev.bytes.data(), ev.bytes.size());
                if (caps.ok)
                {
                    j["caps"] = caps.value.caps;
                }
                if (o.hex)
                {
                    j["hex"] = ktzclient::Hex(ev.bytes.data(), ev.bytes.size());
                }
            }
            break;
        case Event::Kind::Step:
            j["kind"] = "step";
            j["text"] = ev.text;
            break;
        case Event::Kind::Log:
            j["kind"] = "log";
            j["text"] = Chomp(ev.text);
            break;
        case Event::Kind::Note:
            j["kind"] = "note";
            j["text"] = ev.text;
            break;
        case Event::Kind::Message:
        {
            j["kind"] = "message";
            j["client"] = ev.client;
            j["type"] = ktzclient::RequestTypeName(ev.requestType);
            j["type_code"] = ev.requestType;
            j["size"] = ev.bytes.size();
            j["status"] = ev.status;
            j["response_length"] = ev.rspLen;
            const auto d = ktzclient::Decode(ev.requestClass, ev.requestType, ev.bytes);
            if (d.ok)
            {
                j["fields"] = Fields(d.value);
            }
            else
            {
                j["error"] = d.error;
            }
            if (ev.requestType == KTZMON_REQ_GET_KTZ_CAPS)
            {
                const auto caps = ktzclient::DecodeCapsReply(ev.response.data(), ev.response.size());
                if (caps.ok)
                {
                    j["answer_caps"] = caps.value.caps;
                }
            }
            if (o.hex)
            {
                j["hex"] = ktzclient::Hex(ev.bytes.data(), ev.bytes.size());
                if (!ev.response.empty())
                {
                    j["answer_hex"] = ktzclient::Hex(ev.response.data(), ev.response.size());
                }
            }
            break;
        }
        }
        out << j.dump() << "\n";
    }
    for (const auto& oc : r.outcomes)
    {
        out << json{{"kind", "expect"},
                    {"line", oc.expectation.line},
                    {"text", oc.expectation.Describe()},
                    {"ok", oc.ok},
                    {"detail", oc.detail}}
                   .dump()
            << "\n";
    }
    json counts = json::object();
    for (const auto& [client, types] : Counts(r))
    {
        json c = json::object();
        for (const auto& [type, n] : types)
        {
            c[ktzclient::RequestTypeName(type)] = n;
        }
        counts[std::to_string(client)] = c;
    }
    out << json{{"kind", "result"}, {"ok", r.ok}, {"failures", r.failures}, {"messages", counts}}.dump()
        << "\n";
}

} // namespace ktzhost
